#!/usr/bin/env bash
# Runs a Windows test program under wine inside a private network namespace, so that what it
# broadcasts reaches no real network and its fixed ports meet no other run. Wine opens sockets
# in its server process, so the namespace gets a wine prefix and wineserver of its own (a
# server of the caller's prefix would sit outside the namespace).
#
#   in_private_network.sh loopback|veth PROGRAM [ARGS...]
# loopback: the loopback interface alone; veth: also one interface 10.77.1.5/24.
set -euo pipefail
layout=$1
shift
exec unshare -rn bash -s "$layout" "$@" <<'INSIDE'
set -euo pipefail
layout=$1
shift
ip link set lo up
if [ "$layout" = veth ]; then
  ip link add v0 type veth peer name v1
  ip addr add 10.77.1.5/24 brd + dev v0
  ip link set v1 up
  ip link set v0 up
fi
prefix=$(mktemp -d)
trap '/usr/lib/wine/wineserver64 -k 2>/dev/null || true; rm -rf "$prefix"' EXIT
export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
/usr/lib/wine/wine64 wineboot --init </dev/null >/dev/null 2>&1
/usr/lib/wine/wineserver64 -w
/usr/lib/wine/wineserver64 -p
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1
CORVANTHE_PRIVATE_NETWORK=$layout /usr/lib/wine/wine64 "$@" </dev/null
INSIDE
