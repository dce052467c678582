# Sourced by the CI scripts that run programs under Wine. fresh_wine_prefix DIR sets up a new 64-bit
# Wine prefix in DIR and exports what every Wine call then needs; the caller ends it with
# `wineserver -k` before it removes DIR.
fresh_wine_prefix() {
  export WINEPREFIX="$1"
  export WINEARCH=win64
  export WINEDEBUG=-all
  # No Mono or Gecko installer dialogs: the programs are plain console programs.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot could not set up $WINEPREFIX"
  wineserver -w
}
