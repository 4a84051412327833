#!/usr/bin/env bash
# Benchmarks of the tool, printed as one table:
#   - SI and EIX through the simulated module with --pace at 9600, 57600 and
#     115200 baud, against the wire time of the bytes that really cross the line
#     (10 bits a character, both directions, the connection opening included);
#   - unpaced transfer rates of data blocks and chunks (Google Benchmark, pty);
#   - the wall time of one `kelvor -c SS` run;
#   - the cost per line of batch files of 10, 100 and 1000 lines;
#   - the CPU time of a batch of 1000 SS lines with and without --json, and of
#     a batch of one line (what a line costs is the difference), against the
#     floor of one SS exchange;
#   - through Debian's ser2net on localhost (rfc2217:// and socket://): SI and
#     EIX paced at 115200 baud against the wire time, and the wall time of one
#     `kelvor -c SS` run over rfc2217:// beside the same run on the
#     pseudo-terminal;
#   - the CPU time of one SS exchange from Python: kelvor.Module.status() and
#     a pyserial loop, each against the floor of system calls (a minimal loop);
#   - two simulated lines paced at 115200 baud in one Python process,
#     scan_image() on both at once, each against its wire time;
#   - kelvord: SS through the service against SS in-process, 50 watching
#     clients each getting every event (and how long an event takes from its
#     last byte on the line to a watcher, and to a subscriber of an MQTT
#     broker), 10 clients sending 100 commands each at once;
#   - kelvord soaked: 200 TCP connections a second opened and dropped for
#     60 s and 32 clients that never read, against a client's SS on the Unix
#     socket, quiet and soaked (99th percentile);
#   - kelvord's parse of 8 MiB lines of hostile shapes (wide, deep, one long
#     string, a restore of 100,001 files), against the bound of 0.2 s;
#   - kelvor --copy-users of 100 users of 2 templates each onto the 3 modules
#     of a line paced at 115200 baud, against the wire time of the bytes the
#     copy must move.
# The paced runs at 9600 baud take about three minutes; QUICK=1 leaves them out.
set -euo pipefail
# kelvor ends with status 1 after every run: its runs below are not checked by status.
cd "$(dirname "$0")/.."
root=$PWD

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVOR_BENCH=ON -DKELVOR_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
bin=$root/build-bench/bin

ser2net=$(command -v ser2net || echo /usr/sbin/ser2net)
if [ ! -x "$ser2net" ]; then
    echo "bench.sh: ser2net is not installed (Debian package ser2net); the network rows need it" >&2
    exit 1
fi

work=$(mktemp -d)
sim_pid=""
second_pid=""
ser2net_pid=""
stop_ser2net() {
    if [ -n "$ser2net_pid" ]; then
        kill "$ser2net_pid" 2>/dev/null || true
        wait "$ser2net_pid" 2>/dev/null || true # ser2net ends with the status of its signal
    fi
    ser2net_pid=""
}
cleanup() {
    stop_ser2net
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    [ -n "$second_pid" ] && kill "$second_pid" 2>/dev/null && wait "$second_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

start_sim() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -f kelvor.cfg
    "$bin/orvanti-sim" --link "$work/module" "$@" >/dev/null 2>&1 &
    sim_pid=$!
    for _ in $(seq 100); do [ -e "$work/module" ] && break; sleep 0.05; done
    "$bin/orvanti-sim" --link "$work/module" --place 3
}

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"%.6f\", $1 }"; }
least() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }
rows=()
row() { rows+=("$(printf '%-44s %12s %12s %8s' "$1" "$2" "$3" "$4")"); }

# Wire bytes of one run: the opening (SS, SR 0x65, SR 0x75: three packets each
# way), the command packet and its answer(s), and the data.
open_bytes=$((6 * 13))
image=$((0x1201c)) # image record the module sends: header and 256 x 288 pixels
sent=$((0x12000))  # bytes EIX sends of a 256 x 288 BMP
chunks=$(((sent + 4095) / 4096))
si_bytes=$((open_bytes + 13 + 13 + image + 1))
eix_bytes=$((open_bytes + 13 + 13 + chunks * (13 + 4 + 13) + sent + 13))

paced() { # baud code rate
    start_sim --pace
    "$bin/kelvor" -P "$work/module" -b 115200 -x1 -c SI -o finger.bmp >/dev/null 2>&1 || true
    if [ "$2" != 115200 ]; then
        "$bin/kelvor" -c SW -f 0x71 -p2 "$1" >/dev/null 2>&1 || true
        sleep 0.2
    fi
    for cmd in SI EIX; do
        local args=(-c SI -o out.bmp) bytes=$si_bytes
        [ $cmd = EIX ] && args=(-c EIX -p1 $((RANDOM % 1000 + 10)) -i finger.bmp) && bytes=$eix_bytes
        local t0 t1 wire took ok
        t0=$(now)
        out=$("$bin/kelvor" -b "$2" -x2 "${args[@]}" 2>&1 || true)
        t1=$(now)
        took=$(calc "$t1 - $t0")
        wire=$(calc "$bytes * 10 / $2")
        ok=fails
        echo "$out" | grep -q -e "Width: 0x100" -e "Enroll: Succeed" && ok=$(printf '%.2f%%' "$(calc "100 * $wire / $took")")
        row "$cmd paced at $2 baud (wire $(printf '%.2f' "$wire") s)" "$(printf '%.2f s' "$took")" "" "$ok"
    done
}

[ -z "${QUICK:-}" ] && paced 0x31 9600
paced 0x34 57600
paced 0x35 115200

# --copy-users: 100 users of 2 templates each, from a backup, onto the three
# modules of a paced line at 115200 baud. The bytes the copy must move, for
# each module: its status check and two settings read as it is addressed (SS,
# SR, SR), its template size and its user list (SR; LT of no users), and for
# each user its two templates sent (ET: packet, block and end code, answer)
# and read back (RT: packet, two answers, two blocks); 15-byte network packets.
copy_users_row() {
    local users=100 modules=3 packet=15 size=$((0x180))
    start_sim
    "$bin/kelvor" -P "$work/module" -b 115200 -x0 -c SS >/dev/null 2>&1 || true
    for u in $(seq "$users"); do
        "$bin/orvanti-sim" --link "$work/module" --place "$u"
        "$bin/kelvor" -c ES -p1 "$u" >/dev/null 2>&1 || true
        "$bin/kelvor" -c ES -p1 "$u" -f 0x71 >/dev/null 2>&1 || true
    done
    rm -rf copy-source
    "$bin/kelvor" --backup copy-source >/dev/null 2>&1 || true
    start_sim --modules 1,2,3 --pace
    "$bin/kelvor" -P "$work/module" -b 115200 -n 1 -m 1 -x1 -t 2000 -c SS >/dev/null 2>&1 || true
    local per_module=$((3 * 2 * packet + 2 * 2 * packet))
    local per_user=$((2 * (packet + size + 1 + packet) + packet + 2 * packet + 2 * (size + 1)))
    local bytes=$((modules * (per_module + users * per_user)))
    local t0 t1 took wire ok out
    t0=$(now)
    out=$("$bin/kelvor" --exit-code --copy-users --from copy-source --modules 1,2,3 2>&1) && ok=yes || ok=""
    t1=$(now)
    took=$(calc "$t1 - $t0")
    wire=$(calc "$bytes * 10 / 115200")
    # The share of the wall time that is wire time, as in the rows above (1.3 times the wire time is 76.9%).
    if [ -n "$ok" ] && echo "$out" | grep -q "^Module 3: $users copied$"; then
        ok=$(printf '%.2f%%' "$(calc "100 * $wire / $took")")
    else
        ok=fails
    fi
    row "--copy-users 100 x 2 to 3 (wire $(printf '%.2f' "$wire") s)" "$(printf '%.2f s' "$took")" "" "$ok"
}
copy_users_row

# Unpaced: one SS run, batch files.
start_sim
"$bin/kelvor" -P "$work/module" -b 115200 -x1 -c SS >/dev/null 2>&1 || true
t0=$(now)
for _ in $(seq 20); do "$bin/kelvor" -c SS >/dev/null 2>&1 || true; done
t1=$(now)
row "kelvor -c SS, one run (mean of 20)" "$(printf '%.1f ms' "$(calc "($t1 - $t0) * 1000 / 20")")" "" ""
for n in 10 100 1000; do
    for _ in $(seq "$n"); do echo "-c SS"; done >batch
    t0=$(now)
    "$bin/kelvor" -F batch >/dev/null 2>&1 || true
    t1=$(now)
    row "batch of $n lines (-c SS)" "$(printf '%.2f s' "$(calc "$t1 - $t0")")" \
        "$(printf '%.2f ms/line' "$(calc "($t1 - $t0) * 1000 / $n")")" ""
done

# The CPU time (user and system) of kelvor's runs against the floor of one SS
# exchange (bench/batch_cpu.py): 400 rounds, each the floor loop, a batch of
# 1000 SS lines, the same with --json (the two taking turns at going first)
# and a batch of one line, in turns; the medians of each round's ratios count.
# A batch line is the batch of 1000 less the batch of one (the program's start
# and the opening), by line. One round's ratios swing by a fifth on a busy
# machine: the median of 100 rounds moves by about 3% from run to run, that of
# 400 by about 1%.
read -r bfloor line_us line_ratio plain_ms json_ms json_pct single_ms < \
    <(/usr/bin/python3 "$root/bench/batch_cpu.py" "$bin" "$work/module" 400)
row "batch of 1000 SS lines, CPU" "$(printf '%.1f ms' "$plain_ms")" "" ""
row "the same with --json, CPU" "$(printf '%.1f ms' "$json_ms")" "" "$(printf '%+.1f%%' "$json_pct")"
row "batch of 1 SS line, CPU (start and opening)" "$(printf '%.2f ms' "$single_ms")" "" ""
row "SS floor: write, poll, read (CPU/exchange)" "$(printf '%.1f us' "$bfloor")" "" "1.00x"
row "a batch line -c SS (CPU/line)" "$(printf '%.1f us' "$line_us")" "" "$(printf '%.2fx' "$line_ratio")"

# Through ser2net on localhost: a telnet(rfc2217) and a raw tcp accepter in
# front of the simulator's pseudo-terminal, each byte passed on at once.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
start_ser2net() {
    stop_ser2net
    telnet_port=$(free_port)
    raw_port=$(free_port)
    local options="  connector: serialdev,$work/module,115200n81,local
  options:
    kickolduser: true
    chardelay: false"
    printf '%s\n' '%YAML 1.1' '---' 'connection: &rfc2217' "  accepter: telnet(rfc2217),tcp,127.0.0.1,$telnet_port" \
        "$options" 'connection: &raw' "  accepter: tcp,127.0.0.1,$raw_port" "$options" >ser2net.yaml
    "$ser2net" -n -d -c ser2net.yaml -P ser2net.pid >ser2net.log 2>&1 &
    ser2net_pid=$!
    for _ in $(seq 200); do
        ss -ltn | grep -q "127.0.0.1:$telnet_port " && ss -ltn | grep -q "127.0.0.1:$raw_port " && return
        sleep 0.05
    done
    echo "bench.sh: ser2net did not come up" >&2
    cat ser2net.log >&2
    exit 1
}

start_sim --pace
"$bin/kelvor" -P "$work/module" -b 115200 -x1 -c SI -o finger.bmp >/dev/null 2>&1 || true
start_ser2net
for kind in rfc2217 socket; do
    port=$telnet_port
    [ $kind = socket ] && port=$raw_port
    for cmd in SI EIX; do
        args=(-c SI -o out.bmp) bytes=$si_bytes
        [ $cmd = EIX ] && args=(-c EIX -p1 $((RANDOM % 1000 + 10)) -i finger.bmp) && bytes=$eix_bytes
        sleep 0.2 # ser2net lets the device go some milliseconds after a client
        t0=$(now)
        out=$("$bin/kelvor" -P "$kind://127.0.0.1:$port" -b 115200 -x2 "${args[@]}" 2>&1 || true)
        t1=$(now)
        took=$(calc "$t1 - $t0")
        wire=$(calc "$bytes * 10 / 115200")
        ok=fails
        echo "$out" | grep -q -e "Width: 0x100" -e "Enroll: Succeed" && ok=$(printf '%.2f%%' "$(calc "100 * $wire / $took")")
        row "$cmd over $kind:// at 115200 (wire $(printf '%.2f' "$wire") s)" "$(printf '%.2f s' "$took")" "" "$ok"
    done
done

# One SS run over rfc2217:// against the same run on the pseudo-terminal,
# unpaced: 60 runs of each, taking turns, each timed on its own; the median
# counts, as the machine's load (ser2net is a process that needs the CPU too)
# sends some runs of either kind far astray.
start_sim
start_ser2net
one_ss() {
    local t0=$EPOCHREALTIME t1
    if ! "$bin/kelvor" -P "$1" -b 115200 -x0 --exit-code -c SS >/dev/null 2>&1; then
        echo "bench.sh: kelvor -c SS on $1 failed" >&2
        exit 1
    fi
    t1=$EPOCHREALTIME
    calc "($t1 - $t0) * 1000"
    echo
    # ser2net lets the device go some milliseconds after its client, and the
    # two kinds take turns on the one device: not timed.
    sleep 0.1
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
: >ss_local
: >ss_net
for _ in $(seq 60); do
    one_ss "$work/module" >>ss_local
    one_ss "rfc2217://127.0.0.1:$telnet_port" >>ss_net
done
local_ss=$(median <ss_local)
net_ss=$(median <ss_net)
row "kelvor -c SS on the pty (median of 60)" "$(printf '%.2f ms' "$local_ss")" "" ""
row "kelvor -c SS over rfc2217:// (median of 60)" "$(printf '%.2f ms' "$net_ss")" "" \
    "$(printf '%+.2f ms' "$(calc "$net_ss - $local_ss")")"
local_ss=$(sort -n ss_local | head -1)
net_ss=$(sort -n ss_net | head -1)
row "kelvor -c SS on the pty (fastest of 60)" "$(printf '%.2f ms' "$local_ss")" "" ""
row "kelvor -c SS over rfc2217:// (fastest of 60)" "$(printf '%.2f ms' "$net_ss")" "" \
    "$(printf '%+.2f ms' "$(calc "$net_ss - $local_ss")")"
stop_ser2net

# From Python, on the unpaced simulated module: the package's Module.status()
# and a pyserial loop doing the same SS exchange. The machine's noise comes in
# phases longer than one loop's run: they take turns with the floor loop in
# one process (bench/ss_python.py, runs of 50 a round, the median of each
# round's ratio to the floor). The pyserial row needs the system's python3
# with pyserial (Debian: python3-serial).
start_sim
if [ -d "$root/build-bench/python/kelvor" ]; then
    read -r pfloor pstatus pserial rstatus rserial < <(PYTHONPATH="$root/build-bench/python" /usr/bin/python3 \
        "$root/bench/ss_python.py" "$work/module" 300 "$bin/ss_floor_loop.so")
    row "SS floor, in turns with the Python rows" "$(printf '%.1f us' "$pfloor")" "" "1.00x"
    row "kelvor.Module.status() (CPU/call)" "$(printf '%.1f us' "$pstatus")" "" "$(printf '%.2fx' "$rstatus")"
    if [ "$pserial" != "-" ]; then
        row "pyserial loop, SS (CPU/exchange)" "$(printf '%.1f us' "$pserial")" "" "$(printf '%.2fx' "$rserial")"
    fi
    # Two lines paced at 115200 baud, a Module on each in one process: scan_image()
    # on both at once, three rounds, the slowest of each line against its wire time
    # (bench/lines_python.py). Each line's share is its own: the two wait at once.
    start_sim --pace
    "$bin/orvanti-sim" --link "$work/second" --pace >/dev/null 2>&1 &
    second_pid=$!
    for _ in $(seq 100); do [ -e "$work/second" ] && break; sleep 0.05; done
    "$bin/orvanti-sim" --link "$work/second" --place 3
    read -r lwire la lb sa sb < <(PYTHONPATH="$root/build-bench/python" /usr/bin/python3 \
        "$root/bench/lines_python.py" "$work/module" "$work/second" 3)
    kill "$second_pid" 2>/dev/null && wait "$second_pid" 2>/dev/null || true
    second_pid=""
    row "2 Python lines, scan_image() A (wire $lwire s)" "$la s" "" "$sa%"
    row "the same, line B at the same time" "$lb s" "" "$sb%"
fi
# kelvord. SS in-process (the caller holds the port) and through the service
# (one request line, one answer line on its socket), on the unpaced simulated
# module, in turns: three rounds of 500 each, the least mean of each counts.
if [ -x "$bin/kelvord" ]; then
    start_sim
    direct="" service=""
    for _ in 1 2 3; do
        direct=$(least "$("$bin/kelvord_ss_bench" direct "$work/module" 500)" "$direct")
        "$bin/kelvord" --foreground -P "$work/module" -b 115200 --socket "$work/module.sock" 2>/dev/null &
        kelvord_pid=$!
        for _ in $(seq 500); do [ -S "$work/module.sock" ] && break; sleep 0.01; done
        service=$(least "$("$bin/kelvord_ss_bench" service "$work/module.sock" 500)" "$service")
        kill "$kelvord_pid"
        wait "$kelvord_pid" || true
    done
    row "SS in-process (mean of 500)" "$(printf '%.3f ms' "$(calc "$direct / 1000")")" "" ""
    row "SS through kelvord (mean of 500)" "$(printf '%.3f ms' "$(calc "$service / 1000")")" "" \
        "$(printf '%+.3f' "$(calc "($service - $direct) / 1000")")"
    # 50 watchers of a line the benchmark plays on a pseudo-terminal, 200 events.
    read -r got expected median p99 most < <(python3 "$root/bench/service_bench.py" watchers "$bin" 50 200)
    row "50 watchers x 200 events, delivered" "" "$got/$expected" ""
    row "event, last byte to watcher: median" "$median ms" "" ""
    row "the same: 99th percentile, most" "$p99 ms" "$most ms" ""
    # The same events through an MQTT broker (Debian's mosquitto, paho as the
    # subscriber, with the system's Python that has it).
    if command -v mosquitto >/dev/null && /usr/bin/python3 -c 'import paho.mqtt' 2>/dev/null; then
        read -r got expected median p99 most < <(/usr/bin/python3 "$root/bench/service_bench.py" mqtt "$bin" 200)
        row "200 events through mosquitto, delivered" "" "$got/$expected" ""
        row "event, last byte to MQTT subscriber: median" "$median ms" "" ""
        row "the same: 99th percentile, most" "$p99 ms" "$most ms" ""
    fi
    # 10 clients of 100 commands each at once, on the simulated module.
    read -r right expected took < <(python3 "$root/bench/service_bench.py" parallel "$bin" 10 100)
    row "10 clients x 100 CT at once, answers right" "$took s" "$right/$expected" ""
    # Soaked: 200 TCP connections a second opened and dropped for 60 s, and 32
    # clients that never read, while a client on the Unix socket asks SS: its
    # 99th percentile quiet and soaked.
    read -r quiet soaked opened drops alive < <(python3 "$root/bench/soak.py" "$bin" 60 200 32)
    row "SS p99, quiet / soaked (churn, 32 not reading)" "$quiet ms" "$soaked ms" \
        "$(printf '%+.2f ms' "$(calc "$soaked - $quiet")")"
    row "the soak: connections opened, clients dropped" "" "$opened / $drops" "$([ "$alive" = 1 ] || echo ended)"
fi

# The link layer alone on a pseudo-terminal.
"$bin/kelvor_bench" --benchmark_format=csv 2>/dev/null | awk -F, 'NR > 1 && $1 ~ /BM_/ {
    gsub(/"/, "", $1); printf "%-44s %12s %12.1f\n", $1, "", $6 / 1e6 }' >bench.txt
while read -r name rate; do
    case "${name%/real_time}" in
    BM_ReceiveImageBlock/0) label="image record received as one block" ;;
    BM_ReceiveImageBlock/1) label="the same in hex-text form" ;;
    BM_SendImageBlockTraced/0) label="image record sent as one block" ;;
    BM_SendImageBlockTraced/15) label="the same with the level-4 trace" ;;
    BM_SendImageChunks/*) label="sent in accepted chunks of ${name#*/}" label=${label%/real_time} ;;
    *) label=$name ;;
    esac
    row "$label (unpaced)" "" "$(printf '%.1f MB/s' "$rate")" ""
done < <(awk '{ print $1, $2 }' bench.txt)

# kelvord's parse of hostile lines: 8 MiB lines of several shapes on its
# socket, each timed from its last byte sent to the answer (the event loop
# parses as the line ends; nothing else runs on it meanwhile), the most of
# three runs against the bound of 0.2 s.
if [ -x "$bin/kelvord" ]; then
    start_sim
    "$bin/kelvord" --foreground -P "$work/module" -b 115200 --socket "$work/parse.sock" 2>/dev/null &
    kelvord_pid=$!
    for _ in $(seq 500); do [ -S "$work/parse.sock" ] && break; sleep 0.01; done
    cat >"$work/parse_bench.py" <<'PY'
import json, socket, sys, time
MAX = 8 << 20
def fill(head, unit, tail):
    n = (MAX - len(head) - len(tail)) // len(unit(0))
    return head + "".join(unit(i) for i in range(n)) + tail
shapes = [
    ("wide", fill('{"class":"version"', lambda i: ',"k%07d":0' % i, "}")),
    ("deep", "[" * (MAX // 2) + "]" * (MAX // 2 - 1)),
    ("long", '{"class":"version","note":"' + "x" * (MAX - 40) + '"}'),
    ("restore", '{"class":"restore","files":[' + ",".join(
        '{"name":"user-%08x.tpl","data":"%s"}' % (i if i < 100000 else 0, "A" * 40) for i in range(100001)) + "]}"),
]
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
f = s.makefile("rb")
for name, line in shapes:
    data = line.encode() + b"\n"
    assert len(data) <= MAX + 1, (name, len(data))
    most = 0.0
    for _ in range(3):
        s.sendall(data)
        t0 = time.monotonic()
        answer = json.loads(f.readline())
        most = max(most, time.monotonic() - t0)
        assert answer["class"] == "error", answer
    print(name, len(data) - 1, "%.3f" % most)
PY
    while read -r shape size took; do
        row "kelvord parse, 8 MiB $shape line ($size B)" "$(printf '%.3f s' "$took")" "" \
            "$(awk -v t="$took" 'BEGIN { print (t <= 0.2) ? "<=0.2 s" : "OVER" }')"
    done < <(python3 "$work/parse_bench.py" "$work/parse.sock")
    kill "$kelvord_pid"
    wait "$kelvord_pid" || true
fi

echo
echo "Machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), load $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s %12s %12s %8s\n' "Measure" "Wall time" "Rate" "Of wire"
printf '%s\n' "${rows[@]}" | sed 's/ *$//'
