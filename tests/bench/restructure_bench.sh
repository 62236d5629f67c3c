#!/usr/bin/env bash
# An update that restructures a large release: v1 has 45,000 files under "o/", v2 drops every
# one of them and adds 45,000 under "n/". Installs v1 from nginx on 127.0.0.1, then times the
# update to v2 (wall, user and system seconds of the driver). With a second build folder, its
# driver runs the same update in turn with this one's, RUNS times each (default 2).
#
#   tests/bench/restructure_bench.sh BUILD_DIR [OTHER_BUILD_DIR]
#
# BUILD_DIR holds updater_driver and publish_release already built; OTHER_BUILD_DIR an
# updater_driver. Everything lives in one temporary folder, removed at the end.
set -euo pipefail
[[ $# -ge 1 && $# -le 2 ]] || { echo "usage: $0 BUILD_DIR [OTHER_BUILD_DIR]" >&2; exit 2; }
BUILD=$(cd "$1" && pwd)
DRIVERS=("$BUILD/updater_driver")
[[ $# == 2 ]] && DRIVERS+=("$(cd "$2" && pwd)/updater_driver")
RUNS=${RUNS:-2}
FILES=45000

TMP=$(mktemp -d "${TMPDIR:-/tmp}/restructure_bench.XXXXXX")
NGINX_PID=
cleanup() {
    [[ -n $NGINX_PID ]] && kill "$NGINX_PID" 2>/dev/null || true
    rm -rf "$TMP"
}
trap cleanup EXIT

# Short paths: the signed manifest of 45,000 files must stay under 4 MiB.
for release in o n; do
    src=$TMP/src-$release
    for ((i = 0; i < FILES; i++)); do
        (( i % 500 == 0 )) && mkdir -p "$src/$release/$((i / 500))"
        printf '%s %d\n' "$release" "$i" > "$src/$release/$((i / 500))/$i"
    done
    echo "game $release" > "$src/corvanthe.exe"
done
PUB=$("$BUILD/publish_release" --new-key "$TMP/release.key" | awk '/^public key / { print $3 }')
"$BUILD/publish_release" --key "$TMP/release.key" --out "$TMP/www/v1" --game "$TMP/src-o" --version 1 >/dev/null
"$BUILD/publish_release" --key "$TMP/release.key" --out "$TMP/www/v2" --game "$TMP/src-n" --version 2 >/dev/null

source "$(dirname "$0")/nginx_site.sh"
start_nginx "$TMP/www" v1/news.txt "$TMP/nginx"
port=$PORT

for ((run = 1; run <= RUNS; run++)); do
    for driver in "${DRIVERS[@]}"; do
        launcher=$TMP/launcher
        rm -rf "$launcher"
        mkdir -p "$launcher"
        cp "$driver" "$launcher/updater_driver"
        "$launcher/updater_driver" --server "http://127.0.0.1:$port/v1/" --key "$PUB" \
            --no-self-update --steps check,update > "$TMP/install.out"
        /usr/bin/time -f "%e s wall, %U s user, %S s system" -o "$TMP/time.txt" \
            "$launcher/updater_driver" --server "http://127.0.0.1:$port/v2/" --key "$PUB" \
            --no-self-update --steps update > "$TMP/update.out"
        echo "$driver, run $run: $(tail -1 "$TMP/update.out" | sed 's/^driver: done //'), $(cat "$TMP/time.txt")"
    done
done
