#!/usr/bin/env bash
# Catches a built program that cannot be used from the keyboard on a real X server, writes a
# report the headless front-end would not, or loses a running survey when it is told to end:
# SIGTERM, SIGINT, SIGHUP, or the X server going away as at the end of a desktop session.
# Usage: smoke_test.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$2")

# The fixed ports of the simulator: a network namespace of our own where the system allows it.
if [[ -z "${VYR_SMOKE_INSIDE:-}" ]] && unshare -n true 2>/dev/null; then
  exec env VYR_SMOKE_INSIDE=1 unshare -n bash "$0" "$@"
fi
if [[ -n "${VYR_SMOKE_INSIDE:-}" ]]; then ip link set lo up; fi
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

# An X server of our own on a free display, ended with the test.
start_display() {
  start_xvfb "$work/display.$RANDOM"
  pids+=("$x_pid")
}

# Starts the program (with any `env` arguments first) in the dialog's directory and waits for
# its window; its pid in app_pid, its window in window.
start_program() {
  (cd "$work/dialog" && exec env "$@" "$build/vyrmodel") &
  app_pid=$!
  pids+=("$app_pid")
  window=$(dialog_window) || fail "the dialog did not appear"
}

# Waits for the program to end and fails unless it ended with `status`.
expect_exit() {
  local status=0
  wait "$app_pid" || status=$?
  ((status == $1)) || fail "vyrmodel exited with $status, not $1 ($2)"
}

mkdir "$work/dialog" "$work/headless"
cp "$source_dir/demo/demo.units" "$work/"
cp "$source_dir/demo/north.IPs" "$work/dialog/a.IPs"
cp "$source_dir/demo/north.IPs" "$work/headless/a.IPs"
printf '127.0.99.9 ; nobody answers here\n127.0.20.11\n' >"$work/dialog/b.IPs"

start_fleet "$work/demo.units" "$work/fleet.log" || fail "the fleet simulator did not start"
pids+=("$fleet_pid")

# What the headless front-end writes for the same list is what the dialog must write.
(cd "$work/headless" && "$build/vyr-survey" --server 127.0.0.1 --list a.IPs --new --timeout 60 \
  2>"$work/headless.log") || fail "the headless survey did not finish"

start_display
start_program
dialog_start_survey "$window" 127.0.0.1 1
wait_for_file "$work/dialog/a.model" 60 || fail "no report after 60 s"
cmp "$work/dialog/a.model" "$work/headless/a.model" ||
  fail "the dialog's report differs from the headless one"
echo "keyboard survey: the report matches the headless front-end's"

# b.IPs never completes: whatever ends the program must leave what it knew in b.model.
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
# The program's address for the server lives in its field; a new program needs it typed again.
start_unfinished_survey() {
  dialog_start_survey "$window" "$1" "$2"
  sleep 2
  [[ ! -s "$work/dialog/b.model" ]] || fail "the survey of b.IPs ended by itself"
}

start_unfinished_survey "" 1
kill -TERM "$app_pid"
expect_exit 0 SIGTERM
expect_saved SIGTERM

for signal in INT HUP; do
  # A background job of a script starts with SIGINT ignored, which the program respects.
  start_program --default-signal=INT
  start_unfinished_survey 127.0.0.1 2
  kill -"$signal" "$app_pid"
  expect_exit 0 "SIG$signal"
  expect_saved "SIG$signal"
done

# Qt ends the process with exit() here, past its own clean-up, so a leak check would only list
# what it did not free.
start_program ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
start_unfinished_survey 127.0.0.1 2
kill "$x_pid"
expect_exit 1 "the X server's end"  # Qt's own status when it loses its display
expect_saved "the X server's end"
