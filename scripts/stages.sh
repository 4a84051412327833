# Stages of a long script, each timed, with a table of their times at the end
# of the run, whether it passed, failed or was interrupted. Sourced:
#
#   source scripts/stages.sh
#   stage "Build" cmake --build build        one stage: a command or a function
#   stage_group "Fuzz" 2 run_target a b c    one stage per argument, 2 at a time
#   stage_skip "Fuzz" "FUZZ_SECONDS=0"       a stage left out, and why
#
# A stage runs in a subshell with errexit in force (also inside functions,
# which `cmd || ...` would switch off); a stage that fails ends the run with
# its exit status, after the table. The table gives each stage's wall-clock
# time, the processor time of its processes (user and system, which a machine
# shared with others does not inflate much) and the load average when it
# ended. STAGES_LOG_DIR is where stage_group keeps its members' output
# (default: a temporary folder).

stage_names=()
stage_walls=()
stage_cpus=()
stage_loads=()
stage_results=()
stage_running=""
declare -A stage_members=()
stage_scratch=$(mktemp -d "${TMPDIR:-/tmp}/stages-XXXXXX")

# Microseconds since the epoch.
stage_now() {
    echo "${EPOCHREALTIME//[!0-9]/}"
}
stage_started=$(stage_now)

# Milliseconds of processor time (user and system) of the waited-for
# children so far, into stage_cpu_ms: a stage's is the difference across it.
# (Called as it is: in a subshell it would count that subshell's children.)
stage_cpu() {
    local shell_user shell_sys children
    times >"$stage_scratch/times"
    { read -r shell_user shell_sys && read -r children; } <"$stage_scratch/times"
    stage_cpu_ms_of "$children"
}

# "USERmS.SSSs SYSmS.SSSs" (a line of `times`) as milliseconds, into stage_cpu_ms.
stage_cpu_ms_of() {
    local user sys part m sec
    read -r user sys <<<"$1"
    stage_cpu_ms=0
    for part in "$user" "$sys"; do
        m=${part%%m*}
        sec=${part#*m}
        sec=${sec%s}
        sec=${sec//[!0-9]/}
        stage_cpu_ms=$((stage_cpu_ms + 10#$m * 60000 + 10#$sec))
    done
}

# NAME WALL_US CPU_MS RESULT
stage_record() {
    stage_names+=("$1")
    stage_walls+=("$2")
    stage_cpus+=("$3")
    stage_loads+=("$(cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo '?')")
    stage_results+=("$4")
}

# Seconds as seconds and minutes:seconds.
stage_clock() {
    printf '%5d s %3d:%02d' "$1" $(($1 / 60)) $(($1 % 60))
}

# Milliseconds as seconds with one decimal.
stage_seconds() {
    local tenths=$((($1 + 50) / 100))
    printf '%d.%d s' $((tenths / 10)) $((tenths % 10))
}

stage_table() {
    local i total=$(($(stage_now) - stage_started)) cpu=0
    echo
    echo "== Stage times"
    printf '  %-52s %14s %9s %5s  %s\n' "stage" "time" "cpu" "load" "result"
    for i in "${!stage_names[@]}"; do
        printf '  %-52s %14s %9s %5s  %s\n' "${stage_names[$i]}" \
            "$(stage_clock $(((stage_walls[i] + 500000) / 1000000)))" \
            "$(stage_seconds "${stage_cpus[i]}")" "${stage_loads[$i]}" "${stage_results[$i]}"
        cpu=$((cpu + stage_cpus[i]))
    done
    printf '  %-52s %14s %9s\n' "total" "$(stage_clock $(((total + 500000) / 1000000)))" "$(stage_seconds "$cpu")"
}

# The table once, at the end of the run, however it ends.
stage_exit() {
    local status=$? pid
    trap - EXIT INT TERM
    for pid in "${!stage_members[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    if [ -n "$stage_running" ]; then
        stage_cpu
        stage_record "$stage_running" $(($(stage_now) - stage_running_since)) \
            $((stage_cpu_ms - stage_running_cpu)) "interrupted"
    fi
    stage_table
    rm -rf "$stage_scratch"
    exit "$status"
}
trap stage_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

stage_begin() {
    stage_running=$1
    stage_running_since=$(stage_now)
    stage_cpu
    stage_running_cpu=$stage_cpu_ms
}

stage() {
    local name=$1 status
    shift
    echo "== $name"
    stage_begin "$name"
    set +e
    (
        set -e
        "$@"
    )
    status=$?
    set -e
    stage_running=""
    stage_cpu
    local result=passed
    [ "$status" -eq 0 ] || result="FAILED ($status)"
    stage_record "$name" $(($(stage_now) - stage_running_since)) $((stage_cpu_ms - stage_running_cpu)) "$result"
    if [ "$status" -ne 0 ]; then
        echo "== FAILED: $name (exit status $status)" >&2
        exit "$status"
    fi
}

stage_skip() {
    echo "== SKIPPED: $1 ($2)"
    stage_record "$1" 0 0 "skipped: $2"
}

# stage_group NAME JOBS COMMAND ARG...: COMMAND ARG once for each ARG, JOBS at
# a time, each a stage of its own ("NAME ARG"; its time from its own start,
# its processor time counted when it ends). A member's output is shown whole
# when it ends. The group fails when a member fails, after all have ended.
stage_group() {
    local name=$1 jobs=$2 command=$3 arg pid status failed=0
    shift 3
    local logs=${STAGES_LOG_DIR:-$stage_scratch}
    mkdir -p "$logs"
    echo "== $name ($# side by side, $jobs at a time)"
    declare -A started=()
    stage_begin "$name"
    local pending=("$@") cpu=$stage_running_cpu
    while [ ${#pending[@]} -gt 0 ] || [ ${#stage_members[@]} -gt 0 ]; do
        while [ ${#pending[@]} -gt 0 ] && [ ${#stage_members[@]} -lt "$jobs" ]; do
            arg=${pending[0]}
            pending=("${pending[@]:1}")
            (
                set -e
                "$command" "$arg"
            ) >"$logs/stage-$arg.log" 2>&1 &
            stage_members[$!]=$arg
            started[$!]=$(stage_now)
        done
        set +e
        wait -n -p pid "${!stage_members[@]}"
        status=$?
        set -e
        arg=${stage_members[$pid]}
        unset "stage_members[$pid]"
        cat "$logs/stage-$arg.log"
        stage_cpu
        local result=passed
        if [ "$status" -ne 0 ]; then
            result="FAILED ($status)"
            echo "== FAILED: $name $arg (exit status $status)" >&2
            failed=$status
        fi
        stage_record "$name $arg" $(($(stage_now) - started[$pid])) $((stage_cpu_ms - cpu)) "$result"
        cpu=$stage_cpu_ms
    done
    stage_running=""
    [ "$failed" -eq 0 ] || exit "$failed"
}
