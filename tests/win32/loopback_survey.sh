#!/usr/bin/env bash
# Catches a Win32 front-end whose surveys over real Winsock differ from the Linux one's: the same
# generated fleet (vyr-fleet, native Linux) surveyed by vyr-survey.exe under Wine and by the Linux
# vyr-survey must leave the same report byte for byte and the same progress file, send times
# aside; and one stopped by Ctrl+C must save first. Run it in a private network namespace (scripts/test-windows does) with Wine's server
# started there too, as the sockets of a Windows program are made by the wineserver.
# Usage: loopback_survey.sh WINE-RUN PREFIX SURVEY-EXE LINUX-BUILD SOURCE-DIR [UNITS [SEED]]
set -euo pipefail
wine_run=$(realpath "$1") prefix=$(realpath -m "$2") survey_exe=$(realpath "$3")
build=$(realpath "$4") source_dir=$(realpath "$5")
units=${6:-600} seed=${7:-11}
source "$source_dir/tests/support/script_support.sh"

if [[ ! -x "$build/vyr-fleet" || ! -x "$build/vyr-survey" ]]; then
  echo "no vyr-fleet and vyr-survey in the Linux build '$build' (VYR_LINUX_BUILD)" >&2
  exit 1
fi
work=$(mktemp -d)
fleet_pid=""
cleanup() {
  if [[ -n "$fleet_pid" ]]; then kill "$fleet_pid" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/win32" "$work/linux"
# The simulator writes the list of the units it plays before it says it is ready.
(cd "$work" && exec "$build/vyr-fleet" --generate "$units" --seed "$seed" --write-list fleet.IPs) \
  >"$work/fleet.log" 2>&1 &
fleet_pid=$!
for _ in $(seq 100); do
  grep -qx ready "$work/fleet.log" && break
  kill -0 "$fleet_pid" 2>/dev/null || break
  sleep 0.1
done
grep -qx ready "$work/fleet.log" || { cat "$work/fleet.log" >&2; fail "the fleet simulator did not start"; }
cp "$work/fleet.IPs" "$work/win32/"
cp "$work/fleet.IPs" "$work/linux/"

limit=$((120 + units / 50))
(cd "$work/linux" && "$build/vyr-survey" --server 127.0.0.1 --list fleet.IPs --new \
  --timeout "$limit" 2>"$work/linux.log") || { cat "$work/linux.log" >&2; fail "Linux survey"; }
(cd "$work/win32" && "$wine_run" "$prefix" "$survey_exe" --server 127.0.0.1 --list fleet.IPs \
  --new --timeout "$limit" 2>"$work/win32.log") || { cat "$work/win32.log" >&2; fail "Win32 survey"; }
echo "Linux: $(cat "$work/linux.log")"
echo "Win32: $(tr -d '\r' <"$work/win32.log")"

cmp "$work/win32/fleet.model" "$work/linux/fleet.model" || fail "the reports differ"
# Records are 92 bytes after an 8-byte head; each one's send tick (bytes 78-81) is the only
# difference two surveys may have.
progress_differences() {
  { cmp -l "$1" "$2" || true; } | while read -r offset _ _; do
    local at=$(((offset - 1 - 8) % 92))
    if ((offset - 1 < 8 || at < 78 || at > 81)); then echo "$offset"; fi
  done
}
[[ $(stat -c %s "$work/win32/fleet.soFar") -eq $((8 + 92 * units)) ]] ||
  fail "the Win32 progress file has $(stat -c %s "$work/win32/fleet.soFar") bytes"
[[ $(stat -c %s "$work/linux/fleet.soFar") -eq $((8 + 92 * units)) ]] ||
  fail "the Linux progress file has the wrong size"
differences=$(progress_differences "$work/win32/fleet.soFar" "$work/linux/fleet.soFar")
[[ -z "$differences" ]] || fail "the progress files differ beyond send times, at $(head -5 <<<"$differences")"
echo "report and progress file of $units units: the same bytes from Win32 and Linux"

# Ctrl+C (SIGINT, which Wine delivers as CTRL_C_EVENT) during a survey that cannot finish saves
# what it knew and ends with status 3.
printf '127.0.99.9 ; nobody answers here\r\n' >"$work/win32/b.IPs"
(cd "$work/win32" && exec "$wine_run" "$prefix" "$survey_exe" --server 127.0.0.1 --list b.IPs \
  --new --timeout 60 2>"$work/stopped.log") &
survey_pid=$!
sleep 3
[[ ! -s "$work/win32/b.model" ]] || fail "the survey of b.IPs ended by itself"
kill -INT "$survey_pid"
status=0
wait "$survey_pid" || status=$?
((status == 3)) || fail "vyr-survey.exe ended with $status on Ctrl+C, not 3"
printf 'IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n127.0.99.9\t0\t\t0.00\t\t0.00\r\n' |
  cmp - "$work/win32/b.model" || fail "the report saved on Ctrl+C"
[[ $(stat -c %s "$work/win32/b.soFar") -eq 100 ]] || fail "the progress file saved on Ctrl+C"
echo "survey saved on Ctrl+C"
