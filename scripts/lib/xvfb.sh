# Starts a private Xvfb when no display is set, and stops it when the shell exits. A private
# display also gets a private runtime folder (XDG_RUNTIME_DIR): GLFW tries Wayland first, and
# without one its client library complains on every start.
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
      if xdpyinfo >/dev/null 2>&1; then
        XVFB_RUNTIME_DIR=$(mktemp -d /tmp/corvanthe-runtime.XXXXXX)
        chmod 700 "$XVFB_RUNTIME_DIR"
        export XDG_RUNTIME_DIR=$XVFB_RUNTIME_DIR
        trap stop_private_xvfb EXIT
        return 0
      fi
      sleep 0.1
    done
    kill "$XVFB_PID" 2>/dev/null || true
  done
  echo "xvfb: could not start an X server" >&2
  return 1
}

# Stops the Xvfb that start_xvfb_if_needed started, if any, and removes its runtime folder.
stop_private_xvfb() {
  if [ -n "${XVFB_PID:-}" ]; then kill "$XVFB_PID" 2>/dev/null || true; fi
  if [ -n "${XVFB_RUNTIME_DIR:-}" ]; then rm -rf "$XVFB_RUNTIME_DIR"; fi
}
