# Sourced by the set-up scripts.

# The archive address the system's own apt sources use, so a private apt
# configuration reaches the same mirror (or proxy) as apt itself.
debian_mirror() {
  local m
  m=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | sed -nE -e 's/^URIs:[[:space:]]*//p' -e 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//p' \
    | grep -oE '^https?://[^ ]+' | grep -v security | head -n 1 || true)
  echo "${m:-http://deb.debian.org/debian}"
}
