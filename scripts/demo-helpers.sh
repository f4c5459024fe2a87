# Starts the fleet simulator and drives the dialog on an X display with xdotool, pressing what an
# operator would press. Sourced by the demo and by the smoke test under Xvfb.

# Qt wants a private runtime directory; without one it falls back to this same place, with a warning.
if [[ -z "${XDG_RUNTIME_DIR:-}" ]]; then
  export XDG_RUNTIME_DIR="/tmp/runtime-$(id -u)"
  mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi

# Prints the id of the dialog's window once it is shown, or fails after 30 s.
dialog_window() {
  local window
  window=$(timeout 30 xdotool search --sync --name '^VyrModel 1\.03$' | head -n 1)
  [[ -n "$window" ]] && echo "$window"
}

# Presses keys in the window. Without a window manager nothing gives the window the focus, and
# keys sent before it has it are lost.
dialog_keys() {
  local window=$1
  shift
  xdotool windowfocus --sync "$window"
  xdotool key --clearmodifiers --delay 60 "$@"
}

dialog_type() {
  xdotool windowfocus --sync "$1"
  xdotool type --delay 30 "$2"
}

# Types the server address, chooses the list `downs` presses of Down below the current choice,
# and presses Enter, which is Resume.
dialog_start_survey() {
  local window=$1 server=$2 downs=$3
  if [[ -n "$server" ]]; then
    dialog_keys "$window" alt+v ctrl+a
    dialog_type "$window" "$server"
  fi
  dialog_keys "$window" alt+i
  for ((i = 0; i < downs; ++i)); do dialog_keys "$window" Down; done
  dialog_keys "$window" Return
}

# Waits until file $1 has bytes, for at most $2 seconds: a survey's report is there, empty and
# locked, from the moment the survey starts.
wait_for_file() {
  local deadline=$((SECONDS + $2))
  until [[ -s "$1" ]]; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# Starts the fleet simulator on units file $1, its output in file $2, and waits until it listens.
# Sets fleet_pid; fails, printing the simulator's own words, when it cannot start.
start_fleet() {
  "$build/vyr-fleet" "$1" >"$2" 2>&1 &
  fleet_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$2" && return 0
    kill -0 "$fleet_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$2" >&2
  return 1
}
