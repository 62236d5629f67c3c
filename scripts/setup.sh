#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need.
# Idempotent and quiet when everything is present; fails loudly naming the package.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config make
  libsodium-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  zlib1g-dev libpng-dev
  xvfb xauth libgl1-mesa-dri libglx-mesa0 libegl-mesa0 mesa-utils x11-utils x11-xserver-utils xdotool
  nginx-light curl iproute2 python3 strace
  # Lock files a player may not open by an ACL entry of its own.
  acl
  clang libclang-rt-14-dev libfuzzer-14-dev
  # A game folder on a disk that ignores letter case: an exFAT image mounted through FUSE;
  # power cuts on btrfs, where a sync makes only its own file durable.
  exfatprogs exfat-fuse btrfs-progs
  # The Windows build: mingw-w64 with POSIX threads (std::thread and std::mutex need them),
  # wine to run what it makes, autotools for libsodium's source, the mingw zlib, and dpkg-dev
  # for the source packages scripts/windows_deps.sh builds.
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev wine wine64 autoconf automake libtool libz-mingw-w64-dev dpkg-dev
  # The locales in which the wine tests read the system's messages on a localized Windows.
  locales
)
test_locales=(ru_RU ja_JP)
glfw_packages=(libglfw3 libglfw3-dev)
glfw_version_wanted="3.4"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
glfw_ok=1
for p in "${glfw_packages[@]}"; do
  v=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || true)
  case "$v" in "$glfw_version_wanted"*) ;; *) glfw_ok=0 ;; esac
done

# Wine speaks the language of LANG only where the C library has that locale.
make_test_locales() {
  local have l
  have=$(locale -a 2>/dev/null || true)
  for l in "${test_locales[@]}"; do
    grep -qix "$l.utf-\?8" <<<"$have" && continue
    echo "setup: making the locale $l.UTF-8"
    "${sudo_cmd[@]}" localedef -i "$l" -f UTF-8 "$l.UTF-8" ||
      { echo "setup: could not make the locale $l.UTF-8" >&2; exit 1; }
  done
}

if [ ${#missing[@]} -eq 0 ] && [ $glfw_ok -eq 1 ]; then
  make_test_locales
  echo "setup: all packages present"
  exit 0
fi

# GLFW 3.4 comes from the next Debian release, added as a low-priority source so
# nothing else is taken from it. The mirror is the one this machine already uses.
source "$(dirname "$0")/lib/debian_mirror.sh"
add_trixie_source() {
  local list=/etc/apt/sources.list.d/trixie-glfw.sources
  [ -f "$list" ] && return 0
  local uri
  uri=$(debian_mirror) || { echo "setup: no mirror" >&2; exit 1; }
  printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$uri" |
    "${sudo_cmd[@]}" tee "$list" >/dev/null
  printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' |
    "${sudo_cmd[@]}" tee /etc/apt/preferences.d/trixie-low >/dev/null
}

add_trixie_source
echo "setup: updating the package lists"
"${sudo_cmd[@]}" apt-get update -qq || { echo "setup: apt-get update failed" >&2; exit 1; }

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if ! "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/tmp/corvanthe-setup.log 2>&1; then
    for p in "${missing[@]}"; do
      "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$p" >>/tmp/corvanthe-setup.log 2>&1 ||
        { echo "setup: could not install package $p (see /tmp/corvanthe-setup.log)" >&2; exit 1; }
    done
  fi
fi
if [ $glfw_ok -eq 0 ]; then
  echo "setup: installing GLFW $glfw_version_wanted from trixie"
  # pkg/trixie takes only these two from trixie; their dependencies stay bookworm's.
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${glfw_packages[@]/%//trixie}" >>/tmp/corvanthe-setup.log 2>&1 ||
    { echo "setup: could not install package libglfw3-dev $glfw_version_wanted (see /tmp/corvanthe-setup.log)" >&2; exit 1; }
fi
for p in "${glfw_packages[@]}"; do
  v=$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || true)
  case "$v" in "$glfw_version_wanted"*) ;; *) echo "setup: package $p is at '$v', not $glfw_version_wanted" >&2; exit 1 ;; esac
done
make_test_locales
echo "setup: done"
