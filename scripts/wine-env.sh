# Sourced: the project's Wine prefix and the quiet settings every run uses.
root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX="${LOFTSWITCH_WINEPREFIX:-$root/build/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export WINEARCH=win64
if [ -x /usr/lib/wine/wine64 ]; then wine_bin=/usr/lib/wine/wine64; else wine_bin=$(command -v wine64); fi
if [ -x /usr/lib/wine/wineserver64 ]; then wineserver_bin=/usr/lib/wine/wineserver64; else wineserver_bin=$(command -v wineserver); fi

# Makes the prefix once; later runs find it ready.
ensure_wine_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$wine_bin" wineboot -i >/dev/null 2>&1 || true
    "$wineserver_bin" -w
  fi
}

# One persistent wineserver for a batch of runs (a start then costs ~60 ms).
# Wine's own services start with the first program and would inherit its
# output pipes, so a warm-up program starts them with none: a caller that
# waits for the end of a program's output (CTest) never waits on them.
start_wineserver() {
  ensure_wine_prefix
  "$wineserver_bin" -p </dev/null >/dev/null 2>&1 || true
  "$wine_bin" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true
}

stop_wineserver() {
  "$wineserver_bin" -k >/dev/null 2>&1 || true
}
