#!/usr/bin/env bash
# The test command: sets up a fresh Debian 12 machine as far as needed; builds
# the manual's HTML with mkdocs, strict (a broken link or a page missing fails);
# builds
# kelvor.exe for Windows with MinGW-w64 and runs its unit tests under Wine, and
# checks its ZIP and NSIS packages; builds kelvor and its simulated module
# twice (plain with g++, and with AddressSanitizer and UndefinedBehaviorSanitizer
# with clang),
# runs the whole test suite on both builds (the plain one runs its end-to-end
# tests against kelvor.exe under Wine as well), checks the install, the Debian
# packages, the manual pages and the completion on the plain build
# (scripts/check-install.sh); builds the parts that run threads with
# ThreadSanitizer (clang) and runs their tests; then builds the fuzz targets
# with clang and runs each for a short fixed time. At the end, also when a
# stage fails, a table of the stages' times.
#
# Every build folder is configured afresh (cmake --fresh), whatever an earlier
# configure left in it, and with KELVOR_REQUIRE_ALL=ON: a part that cannot be
# built stops the run instead of leaving its tests out.
#
# Environment:
#   FUZZ_SECONDS   seconds per fuzz target (default 20; 0 leaves fuzzing out)
#   SKIP           stages to leave out, by key: packages docs windows plain
#                  asan tsan fuzz (the table says so)
#   TEST_JOBS      tests run side by side (default: four per core, two per core
#                  under the sanitizers; they mostly wait on pseudo-terminals
#                  and simulated modules, but the sanitizers' simulated modules
#                  take several times the processor time for a scan)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/stages.sh

packages=(cmake ninja-build g++ pkg-config strace libgtest-dev libsqlite3-dev nlohmann-json3-dev libboost-dev socat python3 python3-dev python3-pil python3-jsonschema python3-pytest pybind11-dev jq clang libclang-rt-14-dev
    ser2net libtelnet-dev
    groff-base man-db bash-completion dpkg-dev file lintian
    libmosquitto-dev mosquitto mosquitto-clients openssl libssl-dev python3-paho-mqtt python3-jinja2
    g++-mingw-w64-x86-64-posix googletest wine wine64 nsis)
# ThreadSanitizer's runtime for the Python interpreter (tests/tsan/Tsan.cmake).
packages+=(libtsan2)
# The enrollment station's test in a real browser: headless Chromium through chromedriver.
packages+=(chromium chromium-driver python3-selenium)
# The manual's HTML (Debian 12's mkdocs 1.4).
packages+=(mkdocs)

jobs=$(nproc)
test_jobs=${TEST_JOBS:-$((4 * jobs))}
asan_test_jobs=${TEST_JOBS:-$((2 * jobs))}
fuzz_seconds=${FUZZ_SECONDS:-20}
fuzz_targets=(backup bmp commands data front json mqtt net request)
# The stages left out, by key, and why.
declare -A skipped=()
for key in ${SKIP:-}; do
    skipped[$key]="SKIP=$key"
done
[ "$fuzz_seconds" -gt 0 ] || skipped[fuzz]="FUZZ_SECONDS=0"

install_packages() {
    local missing=() p sudo=()
    for p in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "Installing: ${missing[*]}"
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The manual (docs/, the README and sim/README.md, mkdocs.yml) into
# build/manual, as the build's target `manual` makes it: with --strict a
# broken link, a page missing from the nav or outside it fails the stage. No
# mkdocs is a failure, not a stage left out.
manual_build() {
    if ! command -v mkdocs >/dev/null; then
        echo "mkdocs is missing: the manual cannot be built (Debian: apt-get install mkdocs)" >&2
        return 1
    fi
    PYTHONDONTWRITEBYTECODE=1 mkdocs build --strict --config-file mkdocs.yml --site-dir build/manual
}

# configure BUILD_DIR CMAKE_ARGS...: a fresh cache, every part needed.
configure() {
    local dir=$1
    shift
    cmake --fresh -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_REQUIRE_ALL=ON "$@"
}

windows_build() {
    configure build-win --toolchain cmake/mingw-w64.cmake
    # The build runs kelvor.exe once for the command reference: under the
    # same server as the tests, whose streams are not the build's.
    eval "export $(scripts/wine.sh env build-win/wine-prefix)"
    unset DISPLAY
    scripts/wine.sh start build-win/wine-prefix
    cmake --build build-win -j "$jobs"
}

windows_packages() {
    (cd build-win && cpack >/dev/null)
    scripts/check-windows-package.sh build-win
}

windows_tests() {
    # The tests start and stop the Wine server themselves.
    ctest --test-dir build-win --output-on-failure --no-tests=error -j "$jobs"
}

plain_build() {
    local windows=-DKELVOR_WINDOWS_BUILD=
    [ -n "${skipped[windows]:-}" ] || windows=-DKELVOR_WINDOWS_BUILD=$PWD/build-win
    configure build "$windows"
    cmake --build build -j "$jobs"
}

# With clang: it builds the sanitizers' instrumentation of this code in half
# the processor time that g++ takes (measured: 848 s against 1625 s), and the
# code is built with clang's warnings too. The plain build is g++'s.
asan_build() {
    CC=clang CXX=clang++ configure build-asan -DKELVOR_SANITIZE=ON
    cmake --build build-asan -j "$jobs"
}

suite() {
    ctest --test-dir build --output-on-failure --no-tests=error -j "$test_jobs"
}

asan_suite() {
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$asan_test_jobs"
}

# ThreadSanitizer (clang): only what the tests that run threads need, the
# service, the Python extension and two test programs, and the simulated
# module (built plain: it stands in for the hardware) (tests/tsan/Tsan.cmake). The Python extension is clang's too; its tests run
# in Debian's python3 with GCC's runtime preloaded (clang 14's shared runtime
# crashes at the start of any program it is preloaded into).
tsan_targets=(kelvord orvanti-sim service_tests threads_tests _kelvor)
tsan_build() {
    CC=clang CXX=clang++ configure build-tsan -DKELVOR_TSAN=ON
    cmake --build build-tsan -j "$jobs" --target "${tsan_targets[@]}"
}

# Every report ends the process that made it, and lands in tsan-reports/ of the
# build folder, also one of a kelvord or a simulated module that a test started
# and whose end the test did not look at: any report there fails the stage.
tsan_suite() {
    local reports=build-tsan/tsan-reports
    rm -rf "$reports"
    mkdir -p "$reports"
    local status=0
    ctest --test-dir build-tsan --output-on-failure --no-tests=error -j "$asan_test_jobs" || status=$?
    if [ -n "$(ls -A "$reports")" ]; then
        echo "ThreadSanitizer reports:"
        cat "$reports"/*
        return 1
    fi
    return "$status"
}

fuzz_target() {
    TIME=$fuzz_seconds bash scripts/fuzz.sh --no-build "$1"
}

# step KEY NAME COMMAND...: one stage, left out when SKIP names KEY.
step() {
    local key=$1
    shift
    if [ -n "${skipped[$key]:-}" ]; then
        stage_skip "$1" "${skipped[$key]}"
    else
        stage "$@"
    fi
}

# The stages, one a line. (The fuzz targets' build once ran beside the plain
# tests at the lowest priority; even so, it slowed the simulated modules'
# scans enough for tests with short read time-outs to fail.)
step packages "System packages (apt-get)" install_packages
step docs "Manual: mkdocs build --strict" manual_build
step windows "Windows: build (MinGW-w64)" windows_build
step windows "Windows: ZIP and NSIS packages" windows_packages
step windows "Windows: unit tests under Wine" windows_tests
step plain "Build" plain_build
step plain "Tests (with kelvor.exe under Wine)" suite
step plain "Install, Debian packages, manual pages, completion" bash scripts/check-install.sh build
step asan "Build with ASan and UBSan (clang)" asan_build
step asan "Tests under ASan and UBSan" asan_suite
step tsan "Build with ThreadSanitizer (clang): threaded parts" tsan_build
step tsan "Tests under ThreadSanitizer: those that run threads" tsan_suite
step fuzz "Fuzz targets: build (clang)" bash scripts/fuzz.sh --build-only "${fuzz_targets[@]}"
[ -n "${skipped[fuzz]:-}" ] || stage_group "Fuzz target ${fuzz_seconds} s:" "$jobs" fuzz_target "${fuzz_targets[@]}"
