#!/usr/bin/env bash
# A short session of kelvor against the simulated module: installs what a fresh
# Debian 12 machine lacks, builds, starts orvanti-sim, runs a few commands at
# trace level 2, stops the module and says where the scanned image is.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Build tools and the libraries of the two programs, installed only when
# missing. What only the tests and the Python package need is left to the test
# command: the build folder's configure leaves those parts out and says so,
# and takes them up by itself once they are installed.
packages=(cmake ninja-build g++ pkg-config libsqlite3-dev nlohmann-json3-dev libtelnet-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    sudo=()
    if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -q
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$root/build" -G Ninja
# The two programs of the session; the test suites are built by scripts of their own.
cmake --build "$root/build" --target kelvor orvanti-sim

sim="$root/build/bin/orvanti-sim"
kelvor="$root/build/bin/kelvor"
work=$(mktemp -d "${TMPDIR:-/tmp}/kelvor-demo-XXXXXX")
link="$work/orvanti"

"$sim" --link "$link" >"$work/orvanti-sim.log" 2>&1 &
simpid=$!
stop_sim() {
    if kill -0 "$simpid" 2>/dev/null; then
        kill "$simpid"
        wait "$simpid" 2>/dev/null || true
    fi
}
trap stop_sim EXIT
for _ in $(seq 100); do
    [ -e "$link" ] && break
    sleep 0.05
done
[ -e "$link" ] || { echo "orvanti-sim did not start; see $work/orvanti-sim.log" >&2; exit 1; }

# kelvor keeps its settings in ./kelvor.cfg: the session runs in its own directory.
cd "$work"
run() {
    echo
    echo "\$ kelvor $*"
    "$kelvor" "$@" 2>&1 || true # kelvor ends every run with status 1
}

echo
echo "Simulated module on $link; finger 3 is placed on its sensor."
"$sim" --link "$link" --place 3
run -P "$link" -b 115200 -x2 -c SS
run -c SR -f 0x71
run -c ES -p1 5 -f 0x70
run -c IS
run -c SI -o finger.bmp
run -x3 -c 0x3F

stop_sim
trap - EXIT
echo
echo "The module has stopped. The scanned fingerprint is $work/finger.bmp"
