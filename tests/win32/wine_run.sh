#!/usr/bin/env bash
# Runs a Windows program under Wine in the build folder's own prefix, quietly: CTest's emulator.
# The first call of a run starts a persistent wineserver and boots the prefix, both detached from
# the caller's files (CTest would otherwise wait for the server to close its pipes, and a server
# holding the lock below would stall every later call), so that later calls start at once.
# `wineserver -k` ends the server; the last Windows test does that.
# Usage: wine_run.sh PREFIX PROGRAM [ARGUMENTS...]
set -euo pipefail
export WINEPREFIX=$(realpath -m "${VYR_WINEPREFIX:-$1}")
shift
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Runs a command with no descriptor of ours but three to /dev/null.
detached() {
  (
    for fd in /proc/$BASHPID/fd/*; do
      fd=${fd##*/}
      if ((fd > 2)); then eval "exec $fd>&-"; fi
    done
    exec "$@"
  ) </dev/null >/dev/null 2>&1
}

mkdir -p "$WINEPREFIX"
# One caller at a time boots the prefix; the others wait for it.
(
  flock 9
  detached wineserver -p || true  # fails, harmlessly, when the server is already there
  detached wine cmd /c exit || true
  if [[ ! -e "$WINEPREFIX/.vyr-ready" ]]; then
    # The dialog's own font, MS Sans Serif, where Wine's fonts are installed; and windows drawn
    # with their caption by Wine itself, as there is no window manager under Xvfb.
    if [[ -d /usr/share/wine/fonts ]]; then
      cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    fi
    detached wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f || true
    touch "$WINEPREFIX/.vyr-ready"
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
