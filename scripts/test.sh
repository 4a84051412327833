#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine as far as needed; builds kelvor.exe for
# Windows with MinGW-w64 and runs its unit tests under Wine, and checks its
# ZIP and NSIS packages; builds kelvor and its simulated module twice (plain,
# and with AddressSanitizer and UndefinedBehaviorSanitizer), runs the whole
# test suite on both builds (the plain one runs its end-to-end tests against
# kelvor.exe under Wine as well), checks
# the install, the Debian package, the manual pages and the completion on the
# plain build (scripts/check-install.sh), then
# builds the fuzz targets with clang and runs each for a short fixed time
# (FUZZ_SECONDS, default 30; 0 leaves fuzzing out).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config libgtest-dev libsqlite3-dev nlohmann-json3-dev libboost-dev socat python3 python3-dev python3-pil python3-jsonschema python3-pytest pybind11-dev jq clang libclang-rt-14-dev
    ser2net libtelnet-dev
    groff-base man-db bash-completion dpkg-dev file lintian
    g++-mingw-w64-x86-64-posix wine wine64 nsis)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)

windows=()
if command -v x86_64-w64-mingw32-g++-posix >/dev/null && command -v wine >/dev/null &&
    [ -f /usr/src/googletest/CMakeLists.txt ]; then
    echo "== Windows build (MinGW-w64), its unit tests under Wine, its packages"
    cmake -S . -B build-win -G Ninja --toolchain cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
    (
        # The build runs kelvor.exe once for the command reference: under the
        # same server as the tests, whose streams are not the build's.
        eval "export $(scripts/wine.sh env build-win/wine-prefix)"
        unset DISPLAY
        scripts/wine.sh start build-win/wine-prefix
        cmake --build build-win -j "$jobs"
        (cd build-win && cpack >/dev/null)
        scripts/check-windows-package.sh build-win
        # The tests stop the server when they are done.
        ctest --test-dir build-win --output-on-failure -j "$jobs"
    )
    windows=(-DKELVOR_WINDOWS_BUILD="$PWD/build-win")
else
    echo "== SKIPPED: the Windows build and its tests under Wine (MinGW-w64, Wine or GoogleTest's sources missing)"
fi

echo "== Build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${windows[@]}"
cmake --build build -j "$jobs"
echo "== Tests${windows:+ (with the end-to-end tests of kelvor.exe under Wine)}"
ctest --test-dir build --output-on-failure -j "$jobs"
echo "== Install, Debian package, manual pages and completion"
bash scripts/check-install.sh build

echo "== Build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_SANITIZE=ON
cmake --build build-asan -j "$jobs"
echo "== Tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j "$jobs"

fuzz_seconds=${FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ]; then
    echo "== Fuzz targets, ${fuzz_seconds} s each"
    TIME=$fuzz_seconds bash scripts/fuzz.sh
fi
