#!/usr/bin/env bash
# CPU that an idle launcher takes: the real launcher on a private Xvfb (where the swap interval
# has no effect), offline (its server is a closed port on 127.0.0.1), left alone for SECONDS
# (default 10) after it settled; the CPU time it used in that span as a share of one core.
#
#   tests/bench/idle_cpu_bench.sh LAUNCHER [LAUNCHER...]
#
# Each LAUNCHER is an executable built already; several are measured one after the other in
# the same run, so an older build can serve as the reference. Each runs in a temporary folder of
# its own, removed at the end.
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: $0 LAUNCHER [LAUNCHER...]" >&2; exit 2; }
SECONDS_IDLE=${SECONDS_IDLE:-10}
ticks=$(getconf CLK_TCK)

work=$(mktemp -d)
xvfb_pid=
cleanup() {
    [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

exec 3<> "$work/displayfd"
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset > "$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
    display=$(head -n1 "$work/displayfd" 2>/dev/null || true)
    [[ -n $display ]] && break
    sleep 0.1
done
[[ -n $display ]] || { echo "no Xvfb" >&2; exit 1; }
export DISPLAY=":$display"

cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

for launcher in "$@"; do
    folder="$work/run-$RANDOM"
    mkdir -p "$folder"
    cp "$launcher" "$folder/corvanthe-launcher"
    "$folder/corvanthe-launcher" --server http://127.0.0.1:9/ > "$folder/output.txt" 2>&1 &
    pid=$!
    # Settled: the first check has ended offline.
    for _ in $(seq 300); do
        grep -q "Offline\|offline\|cannot reach\|hung up" "$folder/logs/latest.log" 2>/dev/null && break
        sleep 0.1
    done
    sleep 1
    before=$(cpu_ticks "$pid")
    sleep "$SECONDS_IDLE"
    after=$(cpu_ticks "$pid")
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    awk -v t=$((after - before)) -v hz="$ticks" -v s="$SECONDS_IDLE" -v l="$launcher" \
        'BEGIN { printf "%s: %.1f%% of one core over %d s idle\n", l, 100 * t / hz / s, s }'
done
