#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (build-fuzz/), writes their seeds
# from the tables as they stand (fuzz/make_seeds.py into build-fuzz/seeds/),
# and runs them, one after the other, from those seeds and the corpus each
# target grew before (build-fuzz/corpus/). Findings land in build-fuzz/artifacts/.
#
#   scripts/fuzz.sh                      every target for 10^7 runs
#   RUNS=100000 scripts/fuzz.sh data     one target, fewer runs
#   TIME=30 scripts/fuzz.sh              every target for 30 seconds (CI)
#   scripts/fuzz.sh --build-only         builds them, runs none
#   scripts/fuzz.sh --no-build data      runs one as last built (several such
#                                        runs may go side by side)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=yes run=yes
case ${1:-} in
--build-only) run=no && shift ;;
--no-build) build=no && shift ;;
esac
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(backup bmp commands data front json net request mqtt)
runs=${RUNS:-10000000}

if [ "$build" = yes ]; then
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKELVOR_FUZZ=ON -DKELVOR_TESTS=OFF >/dev/null
    cmake --build build-fuzz -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")
    PYTHONDONTWRITEBYTECODE=1 python3 fuzz/make_seeds.py --into build-fuzz/seeds
fi
[ "$run" = yes ] || exit 0

mkdir -p build-fuzz/artifacts
status=0
for t in "${targets[@]}"; do
    corpus=$root/build-fuzz/corpus/$t
    # The front end target's runs write their files here: memory where there is some.
    shm=/dev/shm
    [ -d "$shm" ] && [ -w "$shm" ] || shm=$root/build-fuzz
    work=$(mktemp -d "$shm/kelvor-fuzz-work.XXXXXX")
    mkdir -p "$corpus"
    limit=(-runs="$runs")
    [ -n "${TIME:-}" ] && limit=(-max_total_time="$TIME")
    seeds=$root/build-fuzz/seeds/fuzz_$t
    if [ ! -d "$seeds" ]; then
        echo "fuzz_$t has no seeds in build-fuzz/seeds: scripts/fuzz.sh --build-only writes them" >&2
        exit 1
    fi
    echo "== fuzz_$t"
    if ! TMPDIR=$work build-fuzz/bin/fuzz_"$t" "${limit[@]}" -print_final_stats=1 \
        -artifact_prefix="$root/build-fuzz/artifacts/$t-" "$corpus" "$seeds" \
        >"build-fuzz/fuzz_$t.log" 2>&1; then
        status=1
        echo "fuzz_$t found a fault: see build-fuzz/fuzz_$t.log and build-fuzz/artifacts/"
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "build-fuzz/fuzz_$t.log" || true
    rm -rf "$work"
done
exit $status
