# The Debian mirror this machine's apt already uses, so added suites and source entries come from
# the same place and no host name is written into the project.
debian_mirror() {
  local uri
  uri=$(grep -h -m1 -E '^URIs:' /etc/apt/sources.list.d/debian.sources 2>/dev/null | awk '{print $2}' || true)
  if [ -z "$uri" ]; then
    uri=$(grep -h -m1 -E '^deb ' /etc/apt/sources.list 2>/dev/null | awk '{print $2}' || true)
  fi
  [ -n "$uri" ] || { echo "cannot find the Debian mirror in the apt sources" >&2; return 1; }
  echo "$uri"
}
