#!/usr/bin/env bash
# Catches a vyrmodel.exe that cannot be used from the keyboard under Wine on an X server, writes a
# report the Linux vyr-survey would not write for the same list, ends on Escape, or loses a
# running survey when the Windows session ends. Run it where the fleet's fixed ports are free: a
# private network namespace with Wine's server in it (scripts/test-windows does that).
# Usage: dialog_smoke_test.sh WINE-RUN PREFIX VYRMODEL-EXE LINUX-BUILD SOURCE-DIR
set -euo pipefail
wine_run=$(realpath "$1") prefix=$(realpath -m "$2") vyrmodel=$(realpath "$3")
build=$(realpath "$4") source_dir=$(realpath "$5")
export WINEPREFIX=$prefix WINEDEBUG=-all
source "$source_dir/scripts/demo-helpers.sh"
source "$source_dir/tests/support/script_support.sh"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# On failure, a picture of what the dialog showed, in the folder the test ran in.
fail() {
  echo "FAILED: $*" >&2
  if [[ -n "${window:-}" && -x "$build/vyr-grab-window" ]]; then
    QT_QPA_PLATFORM=xcb "$build/vyr-grab-window" "$window" "$PWD/win32-dialog-failure.png" \
      >/dev/null 2>&1 && echo "what the dialog showed: $PWD/win32-dialog-failure.png" >&2
  fi
  exit 1
}

# The display the run was given, or one of our own.
if [[ -z "${DISPLAY:-}" ]]; then
  start_xvfb "$work/display"
  pids+=("$x_pid")
fi

# The window gets the focus once: Wine gives an activated dialog's focus back to the control that
# last had it, and keys sent while it does that would land on the wrong control.
start_program() {
  (cd "$work/dialog" && exec "$wine_run" "$prefix" "$vyrmodel") &
  app_pid=$!
  pids+=("$app_pid")
  window=$(dialog_window) || fail "the dialog did not appear"
  # The window is found by name a moment before it is mapped, and only a mapped one takes focus.
  local focused=0
  for _ in $(seq 50); do
    if xdotool windowfocus --sync "$window" 2>/dev/null; then focused=1; break; fi
    sleep 0.1
  done
  ((focused)) || fail "the dialog did not take the focus"
  sleep 1
}
keys() { xdotool key --clearmodifiers --delay 80 "$@"; }
# Types the server address, chooses the list `downs` presses of Down below the current choice,
# and presses Enter, which is Resume.
start_survey() {
  local server=$1 downs=$2
  if [[ -n "$server" ]]; then
    keys alt+v
    xdotool type --delay 30 "$server"
  fi
  keys alt+i
  for ((i = 0; i < downs; ++i)); do keys Down; done
  keys Return
}
expect_exit() {
  local status=0
  wait "$app_pid" || status=$?
  ((status == $1)) || fail "vyrmodel.exe exited with $status, not $1 ($2)"
}

mkdir "$work/dialog" "$work/headless"
cp "$source_dir/demo/demo.units" "$work/"
cp "$source_dir/demo/north.IPs" "$work/dialog/a.IPs"
cp "$source_dir/demo/north.IPs" "$work/headless/a.IPs"
printf '127.0.99.9 ; nobody answers here\r\n127.0.20.11\r\n' >"$work/dialog/b.IPs"

start_fleet "$work/demo.units" "$work/fleet.log" || fail "the fleet simulator did not start"
pids+=("$fleet_pid")
(cd "$work/headless" && "$build/vyr-survey" --server 127.0.0.1 --list a.IPs --new --timeout 60 \
  2>"$work/headless.log") || fail "the Linux survey did not finish"

start_program
start_survey 127.0.0.1 1
wait_for_file "$work/dialog/a.model" 60 || fail "no report after 60 s"
cmp "$work/dialog/a.model" "$work/headless/a.model" ||
  fail "the Win32 dialog's report differs from the Linux one"
echo "keyboard survey: the report matches the Linux vyr-survey's"

keys Escape
sleep 1
kill -0 "$app_pid" 2>/dev/null || fail "Escape ended the dialog"

# b.IPs never completes: ending it must leave what it knew in b.model.
{
  printf 'IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n'
  printf '127.0.99.9\t0\t\t0.00\t\t0.00\r\n'
  grep -a "^127\.0\.20\.11	" "$work/dialog/a.model"
} >"$work/b.expected"
expect_saved() {
  cmp "$work/dialog/b.model" "$work/b.expected" || fail "the report saved on $1"
  [[ $(stat -c %s "$work/dialog/b.soFar") -eq $((8 + 2 * 92)) ]] ||
    fail "the progress file saved on $1"
  rm "$work/dialog/b.model" "$work/dialog/b.soFar"
  echo "survey saved on $1"
}
start_unfinished_survey() {
  start_survey "$1" "$2"
  sleep 2
  [[ ! -s "$work/dialog/b.model" ]] || fail "the survey of b.IPs ended by itself"
}

# Abort (which has no mnemonic, but the focus once a survey starts) saves and leaves the dialog;
# Exit then ends it.
start_unfinished_survey "" 1
keys space
wait_for_file "$work/dialog/b.model" 10 || fail "Abort saved nothing"
expect_saved Abort
keys alt+x
expect_exit 0 Exit

# The end of the Windows session (wineboot --end-session sends WM_QUERYENDSESSION and
# WM_ENDSESSION to every window) saves the running survey and ends the program.
start_program
start_unfinished_survey 127.0.0.1 2
"$wine_run" "$prefix" wineboot --end-session >/dev/null 2>&1 || true
expect_exit 0 "the end of the session"
expect_saved "the end of the session"
