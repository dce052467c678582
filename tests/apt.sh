# Sourced by tests/install.sh and tests/vm/kernel.sh: apt calls that survive an archive that does
# not answer for a while. Each try waits APT_RETRY_DELAY seconds (default 30) after a failure and
# gives up after APT_TRIES tries (default 3). Messages go to stderr, prefixed by $apt_who.
apt_who=${apt_who:-install}
apt_tries=${APT_TRIES:-3}
apt_retry_delay=${APT_RETRY_DELAY:-30}
apt_log=${TMPDIR:-/tmp}/serial-tools-apt.$$.log
export DEBIAN_FRONTEND=noninteractive

apt_say() { printf '%s: %s\n' "$apt_who" "$*" >&2; }

# apt_retry WHAT COMMAND...: runs COMMAND up to $apt_tries times, its output in $apt_log, shown
# only when every try failed.
apt_retry() {
  local what=$1 try
  shift
  for ((try = 1; try <= apt_tries; try++)); do
    if "$@" </dev/null >"$apt_log" 2>&1; then
      rm -f "$apt_log"
      return 0
    fi
    if [ "$try" -lt "$apt_tries" ]; then
      apt_say "$what failed (try $try of $apt_tries: $(grep -E '^(E|Err):' "$apt_log" | head -1)); again in $apt_retry_delay s"
      sleep "$apt_retry_delay"
    fi
  done
  apt_say "$what failed $apt_tries times; its last output:"
  tail -n 15 "$apt_log" | sed 's/^/    /' >&2
  rm -f "$apt_log"
  return 1
}

# apt_update: refreshes the package lists, retrying; 1 when the archive did not answer.
apt_update() {
  apt_retry "apt-get update" apt-get update -q -o DPkg::Lock::Timeout=600
}

# apt_cache_dir: where files fetched from the archive are kept across runs and clones (CI runs in
# a fresh clone each time, so a copy under build/ would be gone). SERIAL_TOOLS_CACHE moves it.
apt_cache_dir() {
  local dir=${SERIAL_TOOLS_CACHE:-/var/cache/serial-tools}
  mkdir -p "$dir/debs" && echo "$dir"
}

# fetch_deb PACKAGE DIR: puts the .deb of PACKAGE's candidate version (name or name:arch) into DIR
# and prints its path. A copy in the cache with the checksum the package lists give is used as it
# is; otherwise it is downloaded (retrying) and kept in the cache, replacing older versions. When
# the archive does not answer, the newest cached copy of PACKAGE is used, and that is said.
fetch_deb() {
  local package=$1 dir=$2 cache uri file size hash name arch cached
  cache=$(apt_cache_dir)/debs
  name=${package%%:*}
  arch=${package#*:}
  [ "$arch" != "$package" ] || arch=$(dpkg --print-architecture)
  # 'URI' FILE SIZE SHA256:HASH, without fetching anything.
  read -r uri file size hash < <(apt-get download --print-uris "$package" 2>/dev/null | tail -1) || true
  if [ -n "${file:-}" ] && [ -f "$cache/$file" ] &&
     [ "${hash#*:}" = "$(sha256sum "$cache/$file" | cut -d' ' -f1)" ]; then
    cp "$cache/$file" "$dir/" && echo "$dir/$file"
    return 0
  fi
  if [ -n "${file:-}" ] &&
     (cd "$dir" && apt_retry "apt-get download $package" apt-get download -q "$package"); then
    # Only one version of a package is kept: the one the archive gave last.
    find "$cache" -maxdepth 1 -name "${name}_*_$arch.deb" ! -name "$file" -delete
    cp "$dir/$file" "$cache/$file.part" && mv "$cache/$file.part" "$cache/$file"
    echo "$dir/$file"
    return 0
  fi
  cached=$(ls -t "$cache/${name}"_*_"$arch".deb 2>/dev/null | head -1)
  if [ -n "$cached" ]; then
    apt_say "the archive did not give $package; using the cached $cached"
    cp "$cached" "$dir/" && echo "$dir/${cached##*/}"
    return 0
  fi
  apt_say "cannot get $package: the archive did not give it and $cache holds no copy"
  return 1
}
