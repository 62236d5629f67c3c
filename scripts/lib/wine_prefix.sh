# A private 64-bit wine prefix for running Windows programs in tests, and its persistent
# wineserver (without one, every program wine starts costs seconds of server start-up).
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64

# start_wine_prefix FOLDER: makes the prefix once, then starts its wineserver for good.
start_wine_prefix() {
  export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$WINE64" wineboot --init >/dev/null 2>&1
    # Closing a window otherwise waits for a window manager that Xvfb does not have.
    "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    "$WINESERVER" -w
  fi
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  # The first program in a fresh server brings up wine's background services, which inherit its
  # standard handles and outlive it: started here on /dev/null, they hold no caller's pipe open
  # (a test runner waiting for end-of-output would wait for them forever).
  "$WINE64" cmd /c exit </dev/null >/dev/null 2>&1
}

# stop_wine_prefix: ends the prefix's wineserver and whatever still runs in that prefix only.
stop_wine_prefix() {
  [ -n "${WINEPREFIX:-}" ] && "$WINESERVER" -k 2>/dev/null || true
}
