#!/usr/bin/env bash
# The optional parts follow what is installed, in a build folder configured
# again and again (cmake/Parts.cmake):
# - a dependency that appears after a first configure is taken up by the
#   next one, in AUTO; one that goes away leaves its part out again;
# - KELVOR_REQUIRE_ALL=ON and KELVOR_<NAME>=ON stop the configure when it is
#   missing, naming the Debian packages, whatever an earlier configure holds;
# - the same for the Python package of this project: configured first with
#   pybind11 out of sight, then in sight, the second configure builds it.
#
#   check_parts.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "${1:?usage: check_parts.sh SOURCE_DIR}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvor-parts-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# The line of a part in kelvor-parts.txt: "SETTING ON|OFF reason".
part() {
    grep "^$2 " "$1/kelvor-parts.txt" || echo "$2 missing from $1/kelvor-parts.txt"
}

# said LOG TEXT: LOG holds TEXT, its lines as CMake wraps them joined. (No
# grep -q at the end of a pipe: under pipefail the writer it leaves early
# fails the pipe.)
said() {
    [[ $(tr -s ' \n' '  ' <"$1") == *"$2"* ]]
}

# target BUILD_DIR NAME: the build has a target of that name.
target() {
    ninja -C "$1" -t targets all >"$1.targets"
    grep -q "^$2: " "$1.targets"
}

# configure BUILD_DIR EXPECTED_STATUS CMAKE_ARGS...: the log in BUILD_DIR.log.
configure() {
    local dir=$1 expected=$2 status=0
    shift 2
    cmake "$@" -B "$dir" >"$dir.log" 2>&1 || status=$?
    if [ "$expected" = ok ] && [ "$status" -ne 0 ]; then
        fail "configure $* failed:"
        cat "$dir.log" >&2
    elif [ "$expected" = fails ] && [ "$status" -eq 0 ]; then
        fail "configure $* succeeded"
    fi
}

# A project of one optional part whose dependency is a CMake package under
# the scratch folder: not there, there, gone again.
project=$scratch/project
mkdir -p "$project/cmake" "$scratch/packages"
cp "$source_dir/cmake/Parts.cmake" "$project/cmake/"
cat >"$project/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(parts NONE)
include(cmake/Parts.cmake)
find_package(thing CONFIG QUIET)
kelvor_part(THING "the thing" FOUND thing_FOUND NEEDS "libthing-dev")
if(KELVOR_THING)
  add_custom_target(thing ALL COMMAND ${CMAKE_COMMAND} -E echo thing)
endif()
kelvor_parts_summary()
EOF
add_thing() {
    mkdir -p "$scratch/packages/thing"
    echo 'set(thing_FOUND TRUE)' >"$scratch/packages/thing/thingConfig.cmake"
}
args=(-S "$project" -G Ninja -DCMAKE_PREFIX_PATH="$scratch/packages")
b=$scratch/b1
configure "$b" ok "${args[@]}"
[ "$(part "$b" KELVOR_THING)" = "KELVOR_THING OFF thing_FOUND is false, Debian: libthing-dev" ] ||
    fail "without the package: $(part "$b" KELVOR_THING)"
said "$b.log" "left out the thing (KELVOR_THING: thing_FOUND is false, Debian: libthing-dev)" ||
    fail "the configure does not say that the thing is left out: $(cat "$b.log")"
add_thing
configure "$b" ok "${args[@]}"
[ "$(part "$b" KELVOR_THING)" = "KELVOR_THING ON found" ] || fail "once installed: $(part "$b" KELVOR_THING)"
target "$b" thing || fail "the thing is not in the build once installed"
rm -rf "$scratch/packages/thing"
configure "$b" ok "${args[@]}"
[ "$(part "$b" KELVOR_THING)" = "KELVOR_THING OFF thing_FOUND is false, Debian: libthing-dev" ] ||
    fail "once removed: $(part "$b" KELVOR_THING)"
# Needed: by its own setting, and by KELVOR_REQUIRE_ALL over an earlier OFF.
configure "$b" fails "${args[@]}" -DKELVOR_THING=ON
said "$b.log" "the thing cannot be built (thing_FOUND is false), and KELVOR_THING=ON needs it" ||
    fail "KELVOR_THING=ON without the package: $(cat "$b.log")"
said "$b.log" "apt-get install libthing-dev" || fail "the failed configure names no package: $(cat "$b.log")"
configure "$b" fails "${args[@]}" -DKELVOR_THING=OFF -DKELVOR_REQUIRE_ALL=ON
said "$b.log" "and KELVOR_REQUIRE_ALL=ON needs it" || fail "KELVOR_REQUIRE_ALL=ON over OFF: $(cat "$b.log")"
add_thing
configure "$b" ok "${args[@]}"
[ "$(part "$b" KELVOR_THING)" = "KELVOR_THING ON needed" ] || fail "required and there: $(part "$b" KELVOR_THING)"
configure "$b" ok "${args[@]}" -DKELVOR_REQUIRE_ALL=OFF
[ "$(part "$b" KELVOR_THING)" = "KELVOR_THING OFF KELVOR_THING=OFF" ] || fail "OFF: $(part "$b" KELVOR_THING)"
configure "$b" fails "${args[@]}" -DKELVOR_THING=maybe
said "$b.log" "KELVOR_THING is 'maybe': AUTO, ON or OFF" || fail "a setting of maybe: $(cat "$b.log")"
# A part that does not belong to a build is left out, also under KELVOR_REQUIRE_ALL.
sed -i 's|kelvor_part(THING "the thing"|kelvor_part(THING "the thing" WHEN NOT EXISTS /|' "$project/CMakeLists.txt"
configure "$scratch/b2" ok "${args[@]}" -DKELVOR_REQUIRE_ALL=ON
[ "$(part "$scratch/b2" KELVOR_THING)" = "KELVOR_THING OFF not part of this build" ] ||
    fail "a part outside its build: $(part "$scratch/b2" KELVOR_THING)"

# This project: the Python package out of sight, then in sight (the first
# configure of a fresh machine before pybind11-dev is installed, and the
# next). Without the test suite, which this takes no part in.
b=$scratch/kelvor
kelvor=(-S "$source_dir" -G Ninja -DKELVOR_TESTS=OFF)
configure "$b" ok "${kelvor[@]}" -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON
[[ $(part "$b" KELVOR_PYTHON) == "KELVOR_PYTHON OFF "*pybind11-dev* ]] ||
    fail "Python without pybind11: $(part "$b" KELVOR_PYTHON)"
configure "$b" ok "${kelvor[@]}" -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=OFF
[ "$(part "$b" KELVOR_PYTHON)" = "KELVOR_PYTHON ON found" ] || fail "Python with pybind11: $(part "$b" KELVOR_PYTHON)"
target "$b" _kelvor || fail "the Python extension is not in the build"
grep -q "python3-kelvor" "$b/CPackConfig.cmake" || fail "the Debian package python3-kelvor is not made"
configure "$b" fails "${kelvor[@]}" -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON -DKELVOR_REQUIRE_ALL=ON
said "$b.log" "the Python package kelvor cannot be built" ||
    fail "KELVOR_REQUIRE_ALL=ON without pybind11: $(cat "$b.log")"

[ "$failures" -eq 0 ] || exit 1
echo "parts: all checks passed"
