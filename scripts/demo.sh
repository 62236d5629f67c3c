#!/usr/bin/env bash
# The launcher's main job, end to end on this machine: set-up, build, a demo release published
# with the release publisher, a real update server (nginx on 127.0.0.1:25980, the launcher's
# built-in default), and the launcher itself installing the game from a fresh launcher folder.
#   With a display the launcher opens for you to use (PLAY starts the stand-in game).
#   Without one it runs under a private Xvfb and saves a screenshot, whose path it prints.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
# The build folder is build/ (CORVANTHE_BUILD names another, for a developer's own tree).
build="$here/${CORVANTHE_BUILD:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only what the demo runs; the tests are built by scripts/test.sh.
echo "demo: building the launcher, the stand-in game and the release publisher in $build ..."
if ! cmake --build "$build" -j "$(nproc)" --target corvanthe-launcher demo_game publish_release \
    >"$build/demo-build.log" 2>&1; then
  tail -n 40 "$build/demo-build.log" >&2
  echo "demo: the build failed; the whole output is in $build/demo-build.log" >&2
  exit 1
fi

key="$build/dev-key/release.key"
if [ ! -f "$key.pub" ] || [ "$(cat "$build/launcher-release-key.txt")" != "$(cat "$key.pub")" ]; then
  echo "demo: this build carries a given release key (CORVANTHE_RELEASE_KEY); the demo signs its" >&2
  echo "demo: release with the development key, so configure the build folder without that setting." >&2
  exit 1
fi

port=25980
tester_key="CORVANTHE-DEMO-1"
demo="$build/demo"
rm -rf "$demo"
mkdir -p "$demo"

# The releases: the stand-in game with the launcher's icon, on Live and on Testing.
make_game() {  # folder, version
  mkdir -p "$1/assets" "$1/data"
  cp "$build/demo_game" "$1/corvanthe.exe"
  cp resources/corvanthe.ico "$1/assets/corvanthe.ico"
  printf 'Corvanthe %s\n' "$2" >"$1/data/version.txt"
  head -c 300000 /dev/urandom >"$1/data/world.pak"
}
make_game "$demo/source-live" 1.0.0
make_game "$demo/source-testing" 1.1.0-test
printf 'Playtest notes for the next release.\n' >"$demo/source-testing/data/playtest.txt"

cat >"$demo/news-live.txt" <<'NEWS'
# Corvanthe 1.0.0 is out
**The first public release**
Welcome to Corvanthe. This text is the signed news of the Live channel, drawn by the launcher's own renderer with its built-in font; long lines like this one wrap to the width of the panel.

- A bullet point: the launcher installs the game and verifies every file
- Another bullet that is long enough to wrap onto a second line inside the news panel
- Asterisk pairs **vanish** from plain text
# Known issues
Nothing yet. Press PLAY to start the stand-in game.
NEWS
cat >"$demo/news-testing.txt" <<'NEWS'
# Corvanthe 1.1.0 playtest
**For playtesters only**
You follow the Testing channel with a playtester key.

- One more file in the release
- Switch back to Live in the BUILD menu
NEWS

publish() { "$build/publish_release" --key "$key" --out "$demo/site" "$@" >/dev/null; }
publish --game "$demo/source-live" --version 1.0.0 --news "$demo/news-live.txt"
publish --game "$demo/source-testing" --version 1.1.0-test --news "$demo/news-testing.txt" --testing
echo "demo: published Live 1.0.0 and Testing 1.1.0-test in $demo/site"

# A display for the launcher: the player's own, or a private Xvfb that goes away at the end.
source scripts/lib/xvfb.sh
own_display=0
if [ -n "${WAYLAND_DISPLAY:-}" ] || { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
  own_display=1
else
  start_xvfb_if_needed
fi

nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  stop_private_xvfb
}
trap cleanup EXIT

# The update server: static files, and a testing/ folder that wants the playtester key.
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "demo: something already listens on 127.0.0.1:$port; stop it and run the demo again" >&2
  exit 1
fi
mkdir -p "$demo/nginx"
{
  [ "$(id -u)" -eq 0 ] && echo "user root;"
  cat <<CONF
daemon off;
worker_processes 1;
pid $demo/nginx/nginx.pid;
error_log $demo/nginx/error.log;
events { worker_connections 64; }
http {
  access_log $demo/nginx/access.log;
  client_body_temp_path $demo/nginx/body;
  proxy_temp_path $demo/nginx/proxy;
  fastcgi_temp_path $demo/nginx/fastcgi;
  uwsgi_temp_path $demo/nginx/uwsgi;
  scgi_temp_path $demo/nginx/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$port;
    root $demo/site;
    location /testing/ {
      if (\$http_x_corvanthe_key != "$tester_key") { return 403; }
    }
  }
}
CONF
} >"$demo/nginx/nginx.conf"
/usr/sbin/nginx -p "$demo/nginx/" -c "$demo/nginx/nginx.conf" -e "$demo/nginx/error.log" &
nginx_pid=$!
for _ in $(seq 1 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.05
done
echo "demo: update server on http://127.0.0.1:$port/"

# A fresh launcher folder, as a player would unpack it.
mkdir -p "$demo/launcher"
cp "$build/corvanthe-launcher" "$demo/launcher/corvanthe-launcher"

if [ "$own_display" -eq 1 ]; then
  echo "demo: the launcher opens now and installs the game by itself; PLAY starts it."
  echo "demo: for the Testing channel use 'Playtester key...' with the key $tester_key"
  (cd "$demo" && ./launcher/corvanthe-launcher --install) || true
  if [ -f "$demo/launcher/game/corvanthe-started.txt" ]; then
    echo "demo: the stand-in game was started:"
    sed 's/^/  /' "$demo/launcher/game/corvanthe-started.txt"
  fi
else
  shot="$demo/launcher-demo.png"
  echo "demo: no display here; the launcher runs under Xvfb and takes a screenshot after 6 s"
  (cd "$demo" && ./launcher/corvanthe-launcher --install --shot "6:$shot") >"$demo/launcher-output.txt" 2>&1 || true
  sed 's/\x1b\[[0-9;]*m//g' "$demo/launcher-output.txt" | sed 's/^/  /'
  if [ -f "$shot" ]; then
    echo "demo: the launcher's window after installing the game: $shot"
  else
    echo "demo: no screenshot was written; see $demo/launcher/logs/latest.log" >&2
    exit 1
  fi
fi
echo "demo: game folder $demo/launcher/game, log $demo/launcher/logs/latest.log"
