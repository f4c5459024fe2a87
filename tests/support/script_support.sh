# shellcheck shell=bash
# What the test scripts share; they source it. Nothing here runs on its own.

# Says why the test failed and ends it.
fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# Runs the calling script again inside a network namespace of its own, where the fleet's fixed
# unit and server ports are free, and brings its loopback up there; the variable named `mark`
# tells the second run that it is inside. Where no namespace can be made the script ends as
# skipped (status 77, as ctest reads it).
# Usage: enter_private_network MARK "$@"
enter_private_network() {
  local mark=$1 isolate
  shift
  if [[ -n "${!mark:-}" ]]; then
    ip link set lo up
    return 0
  fi
  for isolate in "unshare -n" "unshare -r -n"; do
    if $isolate true 2>/dev/null; then
      exec env "$mark=1" $isolate bash "$0" "$@"
    fi
  done
  echo "skipped: no network namespace can be made here" >&2
  exit 77
}

# Starts an X server of our own on a free display and points DISPLAY at it; its pid in x_pid.
# `number_file` receives the display's number.
start_xvfb() {
  local number_file=$1
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" 2>/dev/null &
  x_pid=$!
  for _ in $(seq 100); do [[ -s "$number_file" ]] && break; sleep 0.1; done
  [[ -s "$number_file" ]] || fail "Xvfb did not start"
  export DISPLAY=":$(<"$number_file")"
}
