#!/usr/bin/env bash
# The stage table of the test command (scripts/stages.sh, scripts/test.sh):
# every stage in it with its time and result, after a run that passed, one
# that failed (the failed stage's status is the run's, the stages after it do
# not run), one interrupted, and one whose stage group has a failing member;
# and the test command itself with every stage left out, which lists them all.
#
#   check_stages.sh SOURCE_DIR
set -euo pipefail
source_dir=$(cd "${1:?usage: check_stages.sh SOURCE_DIR}" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelvor-stages-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run NAME SCRIPT: the script after the stage library, its output in
# $scratch/NAME.out and its status in $status.
run() {
    {
        echo "set -euo pipefail"
        echo "source '$source_dir/scripts/stages.sh'"
        echo "$2"
    } >"$scratch/$1.sh"
    status=0
    bash "$scratch/$1.sh" >"$scratch/$1.out" 2>&1 || status=$?
}

# has NAME REGEX: a line of the output matches.
has() {
    grep -Eq -- "$2" "$scratch/$1.out" || fail "$1: no line matches '$2' in:
$(cat "$scratch/$1.out")"
}
hasnt() {
    ! grep -Eq -- "$2" "$scratch/$1.out" || fail "$1: a line matches '$2' in:
$(cat "$scratch/$1.out")"
}

# A row of the table: name, seconds, minutes:seconds, processor seconds,
# load, result.
row() {
    echo "^  $1 +[0-9]+ s +[0-9]+:[0-5][0-9] +[0-9]+\.[0-9] s +[0-9.?]+  $2\$"
}

run passed '
stage "Short one" sleep 0.1
stage_skip "Left out" "SKIP=it"
burn() { python3 -c "sum(range(3 * 10**7))"; }
stage "Busy one" burn
echo "after the stages"'
[ "$status" -eq 0 ] || fail "passed: status $status"
has passed "^== Short one$"
has passed "^== Stage times$"
has passed "$(row "Short one" passed)"
has passed "^  Left out +0 s +0:00 +0\.0 s +[0-9.?]+  skipped: SKIP=it$"
has passed "$(row "Busy one" passed)"
has passed "^  total +[0-9]+ s +[0-9]+:[0-5][0-9] +[0-9]+\.[0-9] s$"
# The table comes last, once.
[ "$(tail -n +2 "$scratch/passed.out" | grep -c "== Stage times")" -eq 1 ] || fail "passed: the table more than once"
[ "$(grep -n "after the stages" "$scratch/passed.out" | cut -d: -f1)" -lt \
    "$(grep -n "== Stage times" "$scratch/passed.out" | cut -d: -f1)" ] || fail "passed: the table before the end"
# The busy stage's processor time is counted: half a second or so, not 0.
busy=$(grep -E "^  Busy one " "$scratch/passed.out" || true)
[[ $busy =~ :[0-5][0-9]\ +0\.[0-1]\ s ]] && fail "passed: no processor time for the busy stage: $busy"

# A stage fails in the middle of a function: errexit holds inside it, the
# run's status is the stage's, the stage after it does not run.
run failed '
half() { echo "first half"; false; echo "second half"; }
stage "Before" true
stage "Broken" half
stage "After" true'
[ "$status" -eq 1 ] || fail "failed: status $status"
has failed "^first half$"
hasnt failed "second half"
has failed "$(row "Before" passed)"
has failed "$(row "Broken" "FAILED \(1\)")"
has failed "^== FAILED: Broken \(exit status 1\)$"
hasnt failed "^== After$"
hasnt failed "^  After "
has failed "^  total "

run status '
stage "Exits 7" bash -c "exit 7"'
[ "$status" -eq 7 ] || fail "status: $status, not 7"
has status "$(row "Exits 7" "FAILED \(7\)")"

# Members side by side, each in the table; one fails: the others still end,
# the group fails after them.
run group '
member() { sleep "0.$1"; echo "member $1 ran"; [ "$1" != 2 ]; }
stage_group "Group" 2 member 3 2 1
stage "After the group" true'
[ "$status" -eq 1 ] || fail "group: status $status"
for m in 1 3; do
    has group "^member $m ran$"
    has group "$(row "Group $m" passed)"
done
has group "$(row "Group 2" "FAILED \(1\)")"
hasnt group "^  After the group "

# Stopped from outside in the middle of a stage.
{
    echo "source '$source_dir/scripts/stages.sh'"
    echo 'stage "Quick" true'
    echo 'stage "Long" sleep 3'
} >"$scratch/stopped.sh"
bash "$scratch/stopped.sh" >"$scratch/stopped.out" 2>&1 &
pid=$!
sleep 1
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[ "$status" -eq 143 ] || fail "stopped: status $status"
has stopped "$(row "Quick" passed)"
has stopped "$(row "Long" interrupted)"

# The test command with every stage left out: each in the table, nothing run.
status=0
SKIP="packages docs windows plain asan tsan fuzz" bash "$source_dir/scripts/test.sh" >"$scratch/test.out" 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "test.sh with every stage left out: status $status"
stages=$(grep -c "skipped: SKIP=" "$scratch/test.out" || true)
steps=$(grep -cE "^step [a-z]+ " "$source_dir/scripts/test.sh")
[ "$stages" -eq "$steps" ] || fail "test.sh: $stages stages in the table, $steps in the script:
$(cat "$scratch/test.out")"
hasnt test "passed|FAILED"

[ "$failures" -eq 0 ] || exit 1
echo "stages: all checks passed"
