#!/usr/bin/env bash
# Catches a built program that cannot be used from the keyboard on a real X server, writes a
# report the headless front-end would not, or loses a running survey to SIGTERM.
# Usage: smoke_test.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$2")

# The fixed ports of the simulator: a network namespace of our own where the system allows it.
if [[ -z "${VYR_SMOKE_INSIDE:-}" ]]; then
  if unshare -n true 2>/dev/null; then
    exec env VYR_SMOKE_INSIDE=namespace unshare -n bash "$0" "$@"
  fi
  export VYR_SMOKE_INSIDE=shared
fi
if [[ "$VYR_SMOKE_INSIDE" == namespace ]]; then ip link set lo up; fi
# And an X server of our own, so that nothing on the machine's display is touched.
if [[ -z "${VYR_SMOKE_DISPLAY:-}" ]]; then
  exec env VYR_SMOKE_DISPLAY=1 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" "$@"
fi
source "$source_dir/scripts/dialog-keys.sh"

work=$(mktemp -d)
fleet_pid=""
app_pid=""
cleanup() {
  for pid in $app_pid $fleet_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*" >&2
  "$build/vyr-grab-window" "${window:-0}" "$work/../vyr-smoke-failure.png" 2>/dev/null &&
    echo "what the screen showed: $(dirname "$work")/vyr-smoke-failure.png" >&2
  exit 1
}

mkdir "$work/dialog" "$work/headless"
cp "$source_dir/demo/demo.units" "$work/"
cp "$source_dir/demo/north.IPs" "$work/dialog/a.IPs"
cp "$source_dir/demo/north.IPs" "$work/headless/a.IPs"
printf '127.0.99.9 ; nobody answers here\n127.0.20.11\n' > "$work/dialog/b.IPs"

coproc FLEET { exec "$build/vyr-fleet" "$work/demo.units" 2>"$work/fleet.log"; }
fleet_pid=$FLEET_PID
read -r -t 10 line <&"${FLEET[0]}" && [[ "$line" == ready ]] || fail "the fleet simulator did not start"

# What the headless front-end writes for the same list is what the dialog must write.
(cd "$work/headless" && "$build/vyr-survey" --server 127.0.0.1 --list a.IPs --new --timeout 60 \
  2>"$work/headless.log") || fail "the headless survey did not finish"

cd "$work/dialog"
"$build/vyrmodel" &
app_pid=$!
window=$(dialog_window) || fail "the dialog did not appear"

dialog_start_survey "$window" 127.0.0.1 1
wait_for_file a.model 60 || fail "no report after 60 s"
cmp a.model "$work/headless/a.model" || fail "the dialog's report differs from the headless one"
echo "first survey: report matches the headless front-end's"

# A survey that cannot complete, ended by SIGTERM: it must be saved on the way out.
dialog_start_survey "$window" "" 1
sleep 2
[[ ! -e b.model ]] || fail "the second survey ended by itself"
kill -TERM "$app_pid"
status=0
wait "$app_pid" || status=$?
app_pid=""
((status == 0)) || fail "vyrmodel exited with $status after SIGTERM"
{
  printf 'IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r\n'
  printf '127.0.99.9\t0\t\t0.00\t\t0.00\r\n'
  grep -a "^127\.0\.20\.11	" a.model
} >"$work/b.expected"
cmp b.model "$work/b.expected" || fail "the report saved at SIGTERM is not what was known"
[[ $(stat -c %s b.soFar) -eq $((8 + 2 * 92)) ]] || fail "the progress file saved at SIGTERM"
echo "second survey: saved at SIGTERM"
