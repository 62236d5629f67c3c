#!/usr/bin/env bash
# Performance of the update client against a real server: an install from nothing of a release
# of about 256 MB in about 1,000 files, next to a reference pipeline over the same objects
# (curl, zlib, libsodium, plain file writes), the install's peak memory, the idle time of the
# HTTP client, a check of an installed 30,000-file release, and an install of that release from
# nothing.
#
#   tests/bench/install_bench.sh BUILD_DIR [BASELINE_BUILD_DIR]
#
# BUILD_DIR holds updater_driver, publish_release and reference_pipeline_bench already built;
# this script builds nothing. BASELINE_BUILD_DIR holds the updater_driver of another build (an
# earlier commit); its 30,000-file install then runs beside this build's, interleaved. Everything it makes lives in one temporary folder, removed at the
# end (KEEP=1 keeps it). nginx serves that folder on 127.0.0.1 only. RUNS (default 5) sets the
# repetitions; PERF=0 skips the perf profiles. Needs nginx, curl, strace and GNU time
# (/usr/bin/time); perf is optional. WINDOWS_DRIVER=<updater_driver.exe> also times the Windows
# build's driver under wine64 in the same runs (WINEPREFIX with its server running, as
# "scripts/test.sh windows" makes it).
set -euo pipefail

if [[ $# -lt 1 || $# -gt 2 || ! -d $1 || ( $# == 2 && ! -x $2/updater_driver ) ]]; then
    echo "usage: $0 BUILD_DIR [BASELINE_BUILD_DIR]" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
BASELINE=
[[ $# == 2 ]] && BASELINE=$(cd "$2" && pwd)
RUNS=${RUNS:-5}
PERF=${PERF:-1}
NGINX=/usr/sbin/nginx
WINDOWS_DRIVER=${WINDOWS_DRIVER:-}

DRIVER=$BUILD/updater_driver
PUBLISH=$BUILD/publish_release
HELPER=$BUILD/reference_pipeline_bench
for tool in "$DRIVER" "$PUBLISH" "$HELPER"; do
    [[ -x $tool ]] || { echo "missing $tool: build it first" >&2; exit 2; }
done
for tool in "$NGINX" /usr/bin/time; do
    [[ -x $tool ]] || { echo "missing $tool" >&2; exit 2; }
done
for tool in curl strace; do
    command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install $tool)" >&2; exit 2; }
done
if [[ $PERF == 1 ]] && ! command -v perf >/dev/null; then PERF=0; fi

# The release shapes.
BIG_FILES=1000
BIG_BYTES=$((256 * 1024 * 1024))
BIG_LARGEST=$((16 * 1024 * 1024))  # random, so its object is a little over 2^24 bytes
MANY_FILES=30000
MANY_BYTES=$((48 * 1024 * 1024))
MANY_LARGEST=$((192 * 1024))

TMP=$(mktemp -d "${TMPDIR:-/tmp}/install_bench.XXXXXX")
NGINX_PID=
cleanup() {
    if [[ -n $NGINX_PID ]]; then
        kill -TERM "$NGINX_PID" 2>/dev/null || true
        wait "$NGINX_PID" 2>/dev/null || true
    fi
    if [[ ${KEEP:-0} == 1 ]]; then echo "kept $TMP"; else rm -rf "$TMP"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

SCRIPT_START=$(date +%s)
log() { printf '[%4ds] %s\n' $(($(date +%s) - SCRIPT_START)) "$*"; }
now() { date +%s%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# ---- release material -------------------------------------------------------------------------
log "making the game folders"
"$HELPER" make-game "$TMP/src-big" $BIG_FILES $BIG_BYTES $BIG_LARGEST 1 >/dev/null
"$HELPER" make-game "$TMP/src-many" $MANY_FILES $MANY_BYTES $MANY_LARGEST 2 >/dev/null
PUB=$("$PUBLISH" --new-key "$TMP/release.key" | awk '/^public key / { print $3 }')

log "publishing both releases (the small-file one is bound by fsync, the large one by zlib -9)"
"$PUBLISH" --key "$TMP/release.key" --out "$TMP/www/many" --game "$TMP/src-many" --version 1.0 \
    >"$TMP/publish-many.log" &
MANY_PUBLISHER=$!
"$PUBLISH" --key "$TMP/release.key" --out "$TMP/www/big" --game "$TMP/src-big" --version 1.0 \
    >"$TMP/publish-big.log"
wait $MANY_PUBLISHER
MANIFEST_BIG=$TMP/www/big/manifest-win64.txt
MANIFEST_MANY=$TMP/www/many/manifest-win64.txt
LARGEST_OBJECT=$(awk '$1 == "file" && $3 > m { m = $3 } $1 == "file" && $4 > m { m = $4 } END { print m }' "$MANIFEST_BIG")
PACKED_BIG=$(du -sb "$TMP/www/big/objects" | cut -f1)

# ---- the server -------------------------------------------------------------------------------
source "$(dirname "$0")/nginx_site.sh"
start_nginx "$TMP/www" big/news.txt "$TMP/nginx"
URL_BIG=http://127.0.0.1:$PORT/big/
URL_MANY=http://127.0.0.1:$PORT/many/
log "nginx on 127.0.0.1:$PORT"

# ---- 1 and 2: install from nothing, reference pipeline, peak memory ---------------------------
# The driver makes its launcher folder beside its own executable, so it runs from a copy.
LAUNCHER=$TMP/launcher
mkdir -p "$LAUNCHER"
cp "$DRIVER" "$LAUNCHER/updater_driver"

install_from_nothing() {  # extra arguments go in front of the driver (a tracer, a profiler)
    rm -rf "$LAUNCHER/game" "$LAUNCHER/.staging" "$LAUNCHER/.news" "$LAUNCHER/.news-testing" "$LAUNCHER/logs"
    "$@" "$LAUNCHER/updater_driver" --server "$URL_BIG" --key "$PUB" --steps update --no-self-update \
        >"$TMP/driver.log" 2>&1
    grep -q '^driver: done UpToDate' "$TMP/driver.log" || { echo "install failed:" >&2; tail -5 "$TMP/driver.log" >&2; exit 1; }
}

# The same install by the Windows build under wine, from a launcher folder of its own.
WIN_LAUNCHER=$TMP/launcher-win
install_from_nothing_windows() {
    rm -rf "$WIN_LAUNCHER"
    mkdir -p "$WIN_LAUNCHER"
    cp "$WINDOWS_DRIVER" "$WIN_LAUNCHER/updater_driver.exe"
    /usr/lib/wine/wine64 "$WIN_LAUNCHER/updater_driver.exe" --server "$URL_BIG" --key "$PUB" \
        --steps update --no-self-update >"$TMP/driver-win.log" 2>&1
    grep -q '^driver: done UpToDate' "$TMP/driver-win.log" || { echo "Windows install failed:" >&2; tail -5 "$TMP/driver-win.log" >&2; exit 1; }
}

awk '$1 == "file" { print $2 }' "$MANIFEST_BIG" | sort -u |
    awk -v base="$URL_BIG" -v dir="$TMP/fetched" '{ printf "url = \"%sobjects/%s\"\noutput = \"%s/%s\"\n", base, $1, dir, $1 }' \
        >"$TMP/curl.cfg"
reference() {  # one curl for every object, then inflate, hash and write; prints fetch and total
    rm -rf "$TMP/fetched" "$TMP/reference-out"
    mkdir -p "$TMP/fetched"
    local start middle end
    start=$(now)
    curl -sf --config "$TMP/curl.cfg"
    middle=$(now)
    "$HELPER" pipeline "$MANIFEST_BIG" "$TMP/fetched" "$TMP/reference-out" "$@" >/dev/null
    end=$(now)
    echo "$(seconds "$start" "$middle") $(seconds "$start" "$end")"
}

log "install from nothing and the reference pipeline, $RUNS times each, interleaved"
INSTALL_TIMES=() RSS=() REF_FETCH=() REF_TIMES=() REF_SYNC_TIMES=() WIN_TIMES=()
for run in $(seq "$RUNS"); do
    sync
    start=$(now)
    install_from_nothing /usr/bin/time -v -o "$TMP/time.log"
    end=$(now)
    INSTALL_TIMES+=("$(seconds "$start" "$end")")
    RSS+=("$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$TMP/time.log")")
    if [[ $run == 1 ]]; then
        diff -r -x .installed "$TMP/src-big" "$LAUNCHER/game" >/dev/null || { echo "the installed game differs from the release" >&2; exit 1; }
    fi
    if [[ -n $WINDOWS_DRIVER ]]; then
        sync
        start=$(now)
        install_from_nothing_windows
        WIN_TIMES+=("$(seconds "$start" "$(now)")")
        [[ $run == 1 ]] && { diff -r -x .installed "$TMP/src-big" "$WIN_LAUNCHER/game" >/dev/null || { echo "the Windows install differs from the release" >&2; exit 1; }; }
        log "run $run: Windows driver under wine ${WIN_TIMES[-1]} s"
    fi
    sync
    times=$(reference)
    REF_FETCH+=("${times% *}") REF_TIMES+=("${times#* }")
    sync
    times=$(reference --fsync)
    REF_SYNC_TIMES+=("${times#* }")
    log "run $run: launcher ${INSTALL_TIMES[-1]} s (peak ${RSS[-1]} KB), reference ${REF_TIMES[-1]} s (curl ${REF_FETCH[-1]} s), reference with fsync ${REF_SYNC_TIMES[-1]} s"
done
diff -r "$TMP/src-big" "$TMP/reference-out" >/dev/null || { echo "the reference output differs from the release" >&2; exit 1; }

log "timing the building blocks in memory"
"$HELPER" components "$MANIFEST_BIG" "$TMP/www/big/objects" >"$TMP/components.txt"

# Idle time of the HTTP client: every poll of the download, how long it waited and whether it
# ran out its 100 ms step. A poll that returns early had bytes (or the close) to report; one
# that times out sat idle for a whole step.
log "tracing one install (poll, recv, fsync, sync_file_range)"
sync
start=$(now)
install_from_nothing strace -f -T -qq -e trace=poll,ppoll,recvfrom,fsync,sync_file_range,connect -o "$TMP/strace-install.txt"
TRACED_SECONDS=$(seconds "$start" "$(now)")
awk '
    /poll\(/ || /<\.\.\. (poll|ppoll) resumed>/ {
        if ($0 ~ /unfinished \.\.\.>$/) next
        polls++
        if ($0 ~ /= 0 \(Timeout\)/) timeouts++
        if (match($0, /<[0-9.]+>$/)) { t = substr($0, RSTART + 1, RLENGTH - 2); sum += t; if (t > max) max = t }
        next
    }
    /recvfrom\(/ || /<\.\.\. recvfrom resumed>/ { if ($0 !~ /unfinished \.\.\.>$/) recvs++ }
    /fsync\(/ || /<\.\.\. fsync resumed>/ {
        if ($0 ~ /unfinished \.\.\.>$/) next
        fsyncs++
        if (match($0, /<[0-9.]+>$/)) fsum += substr($0, RSTART + 1, RLENGTH - 2)
    }
    /sync_file_range\(/ { if ($0 !~ /resumed/) writebacks++ }
    /connect\(/ { if ($0 !~ /resumed/) connects++ }
    END { printf "%d %d %.3f %.4f %d %d %.3f %d %d\n", polls, timeouts, sum, max, recvs, fsyncs, fsum, connects, writebacks }
' "$TMP/strace-install.txt" >"$TMP/poll-summary.txt"
read -r POLLS POLL_TIMEOUTS POLL_SECONDS POLL_MAX RECVS FSYNCS FSYNC_SECONDS CONNECTS WRITEBACKS <"$TMP/poll-summary.txt"

if [[ $PERF == 1 ]]; then
    log "profiling one install with perf"
    sync
    if install_from_nothing perf record -q -F 999 -g -o "$TMP/perf-install.data" -- 2>/dev/null; then
        perf report -i "$TMP/perf-install.data" --stdio --no-children --sort symbol 2>/dev/null |
            grep -E '^ +[0-9.]+%' | sed -E 's/ +- +- *$//; s/ +$//' | head -12 >"$TMP/perf-install.txt" || true
    fi
fi

# ---- 3: a check of an installed 30,000-file release -------------------------------------------
CHECKER=$TMP/checker
mkdir -p "$CHECKER"
cp "$DRIVER" "$CHECKER/updater_driver"
cp -a "$TMP/src-many" "$CHECKER/game"
cp "$MANIFEST_MANY" "$CHECKER/game/.installed"  # what an install records, byte for byte
check_once() {
    "$@" "$CHECKER/updater_driver" --server "$URL_MANY" --key "$PUB" --steps check --no-self-update \
        >"$TMP/check.log" 2>&1
    grep -q '^driver: done UpToDate | Up to date' "$TMP/check.log" || { echo "check failed:" >&2; tail -5 "$TMP/check.log" >&2; exit 1; }
}
log "check of the installed $MANY_FILES-file release, $RUNS times"
check_once  # warms the folder's metadata as a launcher start after play would find it
CHECK_TIMES=()
for run in $(seq "$RUNS"); do
    start=$(now)
    check_once
    end=$(now)
    CHECK_TIMES+=("$(seconds "$start" "$end")")
done
log "check times: ${CHECK_TIMES[*]}"

check_once strace -f -qq -s 4096 -e trace=openat,open,creat,openat2,stat,lstat,newfstatat,statx -o "$TMP/strace-check.txt"
# The two records (".installed", and ".installing" that an interrupted install leaves) are read
# by every run; any other open in the game folder would be a game file read.
GAME_OPENS=$(grep -E 'open(at|at2)?\(|creat\(' "$TMP/strace-check.txt" | grep -F "\"$CHECKER/game/" |
    grep -v -F -e "\"$CHECKER/game/.installed\"" -e "\"$CHECKER/game/.installing\"" | grep -c . || true)
INSTALLED_OPENS=$(grep -E 'open(at|at2)?\(' "$TMP/strace-check.txt" | grep -c -F "\"$CHECKER/game/.installed\"" || true)
INSTALLING_OPENS=$(grep -E 'open(at|at2)?\(' "$TMP/strace-check.txt" | grep -c -F "\"$CHECKER/game/.installing\"" || true)
GAME_STATS=$(grep -E '(stat|statx|newfstatat)\(' "$TMP/strace-check.txt" | grep -c -F "\"$CHECKER/game/" || true)

"$HELPER" parse "$MANIFEST_MANY" "$PUB" >"$TMP/parse.txt"
value() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }

if [[ $PERF == 1 ]]; then
    log "profiling one check with perf"
    if check_once perf record -q -F 999 -g -o "$TMP/perf-check.data" -- 2>/dev/null; then
        perf report -i "$TMP/perf-check.data" --stdio --no-children --sort symbol 2>/dev/null |
            grep -E '^ +[0-9.]+%' | sed -E 's/ +- +- *$//; s/ +$//' | head -8 >"$TMP/perf-check.txt" || true
    fi
fi

# ---- 4: an install of the 30,000-file release from nothing, against the baseline build ---------
# Small files make the install bound by how it waits for the disk, not by the network or zlib.
many_install() {  # LAUNCHER_DIR: installs from nothing with the driver in that folder
    rm -rf "$1/game" "$1/.staging" "$1/.news" "$1/logs"
    "$1/updater_driver" --server "$URL_MANY" --key "$PUB" --steps update --no-self-update \
        >"$1.log" 2>&1
    grep -q '^driver: done UpToDate' "$1.log" || { echo "install failed:" >&2; tail -5 "$1.log" >&2; exit 1; }
}
MANY_NEW=$TMP/many-new MANY_BASE=$TMP/many-baseline
mkdir -p "$MANY_NEW"
cp "$DRIVER" "$MANY_NEW/updater_driver"
if [[ -n $BASELINE ]]; then
    mkdir -p "$MANY_BASE"
    cp "$BASELINE/updater_driver" "$MANY_BASE/updater_driver"
fi
log "install of the $MANY_FILES-file release from nothing, $RUNS times${BASELINE:+, interleaved with the baseline}"
MANY_TIMES=() MANY_BASE_TIMES=()
for run in $(seq "$RUNS"); do
    sync
    start=$(now)
    many_install "$MANY_NEW"
    MANY_TIMES+=("$(seconds "$start" "$(now)")")
    line="run $run: this build ${MANY_TIMES[-1]} s"
    if [[ -n $BASELINE ]]; then
        sync
        start=$(now)
        many_install "$MANY_BASE"
        MANY_BASE_TIMES+=("$(seconds "$start" "$(now)")")
        line+=", baseline ${MANY_BASE_TIMES[-1]} s"
    fi
    log "$line"
done
diff -r -x .installed "$TMP/src-many" "$MANY_NEW/game" >/dev/null || { echo "the installed game differs from the release" >&2; exit 1; }

# ---- summary ----------------------------------------------------------------------------------
INSTALL_MEDIAN=$(median "${INSTALL_TIMES[@]}")
REF_MEDIAN=$(median "${REF_TIMES[@]}")
REF_FETCH_MEDIAN=$(median "${REF_FETCH[@]}")
REF_SYNC_MEDIAN=$(median "${REF_SYNC_TIMES[@]}")
CHECK_MEDIAN=$(median "${CHECK_TIMES[@]}")
PEAK_KB=$(printf '%s\n' "${RSS[@]}" | sort -n | tail -1)
LIMIT_KB=$(((2 * LARGEST_OBJECT + 64 * 1024 * 1024) / 1024))
PARSE=$(value parse "$TMP/parse.txt")
LOOKUPS=$(value lookups "$TMP/parse.txt")
VERIFY=$(value verify "$TMP/parse.txt")
# A check reads the manifest twice (".installed" and the server's) and looks every file up once.
MANIFEST_WORK=$(awk -v p="$PARSE" -v l="$LOOKUPS" -v v="$VERIFY" 'BEGIN { printf "%.3f", 2 * p + l + 2 * v }')

echo
echo "== update client performance ($(nproc) CPUs, $(uname -m), $(date -u +%Y-%m-%dT%H:%MZ)) =="
printf 'release: %d files, %d MB content, %d MB of objects; largest object %d bytes\n' \
    $BIG_FILES $((BIG_BYTES / 1048576)) $((PACKED_BIG / 1048576)) "$LARGEST_OBJECT"
echo
printf '%-46s %10s %10s\n' "install from nothing (median of $RUNS)" "seconds" "vs ref"
printf '%-46s %10s %10s\n' "launcher (updater_driver --steps update)" "$INSTALL_MEDIAN" "$(ratio "$INSTALL_MEDIAN" "$REF_MEDIAN")"
printf '%-46s %10s %10s\n' "reference: curl + zlib + libsodium + write" "$REF_MEDIAN" "1.00"
printf '%-46s %10s %10s\n' "  of which curl fetching" "$REF_FETCH_MEDIAN" ""
printf '%-46s %10s %10s\n' "reference with fsync of each file and folder" "$REF_SYNC_MEDIAN" "$(ratio "$REF_SYNC_MEDIAN" "$REF_MEDIAN")"
printf '%-46s %10s\n' "launcher / reference with fsync" "$(ratio "$INSTALL_MEDIAN" "$REF_SYNC_MEDIAN")"
if [[ -n $WINDOWS_DRIVER ]]; then
    WIN_MEDIAN=$(median "${WIN_TIMES[@]}")
    printf '%-46s %10s %10s\n' "Windows driver under wine (same release)" "$WIN_MEDIAN" "$(ratio "$WIN_MEDIAN" "$REF_MEDIAN")"
    printf '%-46s %10s\n' "Windows under wine / Linux launcher" "$(ratio "$WIN_MEDIAN" "$INSTALL_MEDIAN")"
    echo "  runs, wine:      ${WIN_TIMES[*]}"
fi
echo "  runs, launcher:  ${INSTALL_TIMES[*]}"
echo "  runs, reference: ${REF_TIMES[*]}"
echo "  runs, ref+fsync: ${REF_SYNC_TIMES[*]}"
echo
echo "building blocks in memory over the same objects (seconds, MB/s of content):"
awk '{ printf "  %-18s %8s s %8s MB/s\n", $1, $2, $3 }' "$TMP/components.txt"
echo
printf 'peak RSS of the install: %d KB (max of %d runs); limit 2 x largest + 64 MB = %d KB: %s\n' \
    "$PEAK_KB" "$RUNS" "$LIMIT_KB" "$([[ $PEAK_KB -le $LIMIT_KB ]] && echo within || echo EXCEEDED)"
echo
echo "HTTP client idle time (one traced install, $CONNECTS connections, $TRACED_SECONDS s under strace):"
printf '  %d polls, %d ran out their 100 ms step, %s s waiting in total, longest %s s\n' \
    "$POLLS" "$POLL_TIMEOUTS" "$POLL_SECONDS" "$POLL_MAX"
printf '  %d recv calls; %d fsync calls taking %s s; %d early writebacks (sync_file_range)\n' \
    "$RECVS" "$FSYNCS" "$FSYNC_SECONDS" "$WRITEBACKS"
if [[ -s $TMP/perf-install.txt ]]; then
    echo "  perf, install, self time by symbol:"
    sed 's/^/  /' "$TMP/perf-install.txt"
fi
echo
printf 'check of an installed %d-file release, unchanged manifest (%d bytes): median %s s\n' \
    "$MANY_FILES" "$(stat -c %s "$MANIFEST_MANY")" "$CHECK_MEDIAN"
echo "  runs: ${CHECK_TIMES[*]}"
printf '  game files opened: %d (.installed opened %d times, .installing %d); size queries in the game folder: %d\n' \
    "$GAME_OPENS" "$INSTALLED_OPENS" "$INSTALLING_OPENS" "$GAME_STATS"
printf '  manifest work in memory: verify %s s, parse %s s, %d lookups %s s, duplicate test with an index %s s\n' \
    "$VERIFY" "$PARSE" "$MANY_FILES" "$LOOKUPS" "$(value indexed_duplicates "$TMP/parse.txt")"
printf '  a check parses twice and looks up once: %s s of the %s s (%s%%)\n' "$MANIFEST_WORK" "$CHECK_MEDIAN" \
    "$(awk -v a="$MANIFEST_WORK" -v b="$CHECK_MEDIAN" 'BEGIN { printf "%.0f", 100 * a / b }')"
if [[ -s $TMP/perf-check.txt ]]; then
    echo "  perf, check, self time by symbol:"
    sed 's/^/  /' "$TMP/perf-check.txt"
fi
echo
MANY_MEDIAN=$(median "${MANY_TIMES[@]}")
printf 'install of the %d-file release from nothing (%d MB), median of %d: %s s\n' \
    "$MANY_FILES" $((MANY_BYTES / 1048576)) "$RUNS" "$MANY_MEDIAN"
echo "  runs, this build: ${MANY_TIMES[*]}"
if [[ -n $BASELINE ]]; then
    MANY_BASE_MEDIAN=$(median "${MANY_BASE_TIMES[@]}")
    printf '  baseline build: median %s s; this build / baseline %s (%s%% faster)\n' "$MANY_BASE_MEDIAN" \
        "$(ratio "$MANY_MEDIAN" "$MANY_BASE_MEDIAN")" \
        "$(awk -v a="$MANY_MEDIAN" -v b="$MANY_BASE_MEDIAN" 'BEGIN { printf "%.0f", 100 * (1 - a / b) }')"
    echo "  runs, baseline:   ${MANY_BASE_TIMES[*]}"
fi
echo
log "done"
[[ $GAME_OPENS -eq 0 && $PEAK_KB -le $LIMIT_KB ]]
