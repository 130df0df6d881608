# Sourced by the Windows scripts: a quiet Wine in a scratch prefix of its own, without a
# display (message boxes then fail at once instead of waiting for a click). The prefix's
# server is kept running for the whole run and stopped when the calling script ends.
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ -z "${WINEPREFIX:-}" ]; then
  qj_wine_scratch=$(mktemp -d /tmp/quorrick-wine.XXXXXX)
  export WINEPREFIX="$qj_wine_scratch/prefix"
fi
qj_wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${qj_wine_scratch:-}" ]; then rm -rf "$qj_wine_scratch"; fi
}
trap qj_wine_stop EXIT
mkdir -p "$WINEPREFIX"
wineserver -p
wineboot -i >/dev/null 2>&1
