# Starts a private Xvfb when no display is set, and stops it when the shell exits.
start_xvfb_if_needed() {
  if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then return 0; fi
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1600x1000x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 50); do
      xdpyinfo >/dev/null 2>&1 && { trap 'kill $XVFB_PID 2>/dev/null || true' EXIT; return 0; }
      sleep 0.1
    done
    kill "$XVFB_PID" 2>/dev/null || true
  done
  echo "xvfb: could not start an X server" >&2
  return 1
}
