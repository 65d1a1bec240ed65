# Sourced by the set-up scripts; each defines log().

# The archive address the system's own apt sources use, so a private apt
# configuration reaches the same mirror (or proxy) as apt itself.
debian_mirror() {
  local m
  m=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | sed -nE -e 's/^URIs:[[:space:]]*//p' -e 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//p' \
    | grep -oE '^https?://[^ ]+' | grep -v security | head -n 1 || true)
  echo "${m:-http://deb.debian.org/debian}"
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then sudo "$@"
  else
    log "need root to run: $*"
    log "install these Debian packages by hand and run again: ${missing[*]}"
    exit 1
  fi
}

# What building CPython from its Debian source package needs.
cpython_build_packages=(build-essential dpkg-dev xz-utils pkg-config libssl-dev zlib1g-dev libffi-dev libbz2-dev
  liblzma-dev libsqlite3-dev libreadline-dev uuid-dev gpgv)

# Installs those of the named Debian packages that are missing.
apt_updated=0
ensure_packages() {
  missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing Debian packages: ${missing[*]}"
  # Another package manager at work (an unattended upgrade, a second set-up
  # run) holds dpkg's lock for a while: wait for it instead of failing.
  local wait=(-o DPkg::Lock::Timeout=600)
  if [ $apt_updated -eq 0 ]; then as_root apt-get "${wait[@]}" update -qq; apt_updated=1; fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" install -y -qq "${missing[@]}" >&2
}

# private_apt <work dir> <suite>...: sets work to the directory and apt_opts
# to an apt configuration of its own in <work dir>/apt for the suites' source
# packages, and fetches their index; the system's own sources and lists stay
# as they are. Downloads go to <work dir>/src.
private_apt() {
  local suite
  work=$1
  shift
  rm -rf "$work/apt" "$work/src"
  mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial" "$work/src"
  for suite in "$@"; do
    printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s %s main\n' \
      "$(debian_mirror)" "$suite"
  done >"$work/apt/sources.list"
  apt_opts=(
    -o "Dir::Etc::SourceList=$work/apt/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$work/apt/lists"
    -o "Dir::Cache=$work/apt"
    -o "Dir::Cache::Archives=$work/apt/archives"
    -o "APT::Sandbox::User=root"
  )
  apt-get "${apt_opts[@]}" update -qq >&2
}

# fetch_source <package> [version]: downloads that version of the source
# package through private_apt's configuration, or the newest one the archive
# serves (its index may list versions whose files the archive no longer, or
# does not yet, have); fails when it serves none.
fetch_source() {
  local v
  for v in ${2:-$(apt-cache "${apt_opts[@]}" showsrc "$1" | sed -n 's/^Version: //p' | sort -Vr)}; do
    (cd "$work/src" && apt-get "${apt_opts[@]}" source --download-only "$1=$v" >>"$work/fetch.log" 2>&1) && return 0
    rm -f "$work/src"/*
  done
  grep -m 1 '^E:' "$work/fetch.log" >&2 || true
  log "Debian's archive serves no $1 source package${2:+ of version $2} here"
  return 1
}
