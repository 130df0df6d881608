# Sourced by the Windows scripts: a quiet Wine without a display (a message box then fails
# at once instead of waiting for a click), in a scratch prefix of its own unless WINEPREFIX
# names one. The scratch prefix's server stays up for the whole run (every test starts
# programs in it) and is stopped, and the prefix removed, when the calling script ends.
# Wine's programs (wineboot here) start through QJ_WINE (scripts/windows-arch.sh), `wine`
# when it is not set.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ -z "${WINEPREFIX:-}" ]; then
  qj_wine_scratch=$(mktemp -d /tmp/quorrick-wine.XXXXXX)
  export WINEPREFIX="$qj_wine_scratch/prefix"
  qj_wine_stop() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$qj_wine_scratch"
  }
  trap qj_wine_stop EXIT
  mkdir -p "$WINEPREFIX"
  wineserver -p
fi
"${QJ_WINE:-wine}" wineboot -i >/dev/null 2>&1
