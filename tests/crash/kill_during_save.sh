#!/usr/bin/env bash
# Catches progress files torn or lost when vyr-survey is killed (SIGKILL) at any moment, inside
# its save too; resumes that lose finished units, move or damage the report section they rewrite,
# or trip over a leftover temporary file; and SIGTERM, SIGINT or SIGHUP that do not save.
# Usage: kill_during_save.sh BUILD-DIR SOURCE-DIR [ROUNDS]  (the source tree is not needed yet)
set -euo pipefail
build=$(realpath "$1")
rounds=${3:-40}

source "$(dirname "$0")/../support/script_support.sh"
# The simulator binds the fixed unit and server ports: only inside a network namespace of our own.
enter_private_network VYR_CRASH_INSIDE "$@"

work=$(mktemp -d)
survey_pid=""
cleanup() {
  [[ -n "$survey_pid" ]] && kill -KILL "$survey_pid" 2>/dev/null
  [[ -n "${fleet_pid:-}" ]] && kill "$fleet_pid" 2>/dev/null
  wait 2>/dev/null || true
  if [[ -n "${VYR_CRASH_KEEP:-}" ]]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# A fleet that answers but for ten silent units, so that no survey ever completes, and enough
# units that a save takes a while.
generated=20000
{
  echo "option seed=$((RANDOM + 1))"
  for i in $(seq 1 10); do echo "address 127.0.77.$i SILENT$i $((90000 + i)) silent=yes"; done
} >"$work/crash.units"
mkdir "$work/dir"
# The simulator writes the list file before it listens, and says "ready" once it does.
"$build/vyr-fleet" "$work/crash.units" --generate "$generated" --write-list "$work/dir/crash.IPs" \
  >"$work/fleet.log" 2>&1 &
fleet_pid=$!
for _ in $(seq 300); do
  grep -qx ready "$work/fleet.log" && break
  kill -0 "$fleet_pid" 2>/dev/null || break
  sleep 0.1
done
grep -qx ready "$work/fleet.log" || fail "the fleet simulator did not start: $(cat "$work/fleet.log")"

units=$((generated + 10))
size=$((8 + 92 * units))
header=$'IP\tSerial\tID\tBIOS\tApplication\tVersion\tModem ID\tESN\r'
cd "$work/dir"

# Starts vyr-survey (Resume unless told otherwise); its pid in survey_pid.
start_survey() {
  "$build/vyr-survey" --server 127.0.0.1 --list crash.IPs --timeout 120 "$@" 2>>"$work/survey.log" &
  survey_pid=$!
}

# Waits until the survey has its stop handlers, so that a SIGTERM asks for a save.
wait_for_handlers() {
  local mask
  for _ in $(seq 3000); do
    mask=$(sed -n 's/^SigCgt:[[:space:]]*//p' "/proc/$survey_pid/status" 2>/dev/null) || return 1
    [[ -n "$mask" ]] && ((0x$mask & (1 << 14))) && return 0
    sleep 0.01
  done
  return 1
}

# Sleeps $1 milliseconds without starting a process: a read from a pipe nobody writes to.
mkfifo "$work/never"
exec 9<>"$work/never"
sleep_ms() { (($1 == 0)) || read -r -t "$(($1 / 1000)).$(printf %03d $(($1 % 1000)))" -u 9 || true; }

# Notes the modification time of file $1 in $work/$1.seen (no such file when it is absent).
note_mtime() {
  if [[ -e $1 ]]; then touch -r "$1" "$work/$1.seen"; else rm -f "$work/$1.seen"; fi
}

# Waits, polling with shell built-ins only, until one of the files named (the report, the
# progress file or its temporary) is written after note_mtime, or the survey has ended. A save
# writes the report first, then the progress file.
wait_for_save() {
  local name deadline=$((${EPOCHREALTIME/./} + 5000000))
  while ((${EPOCHREALTIME/./} < deadline)); do
    for name in "$@"; do
      if [[ -e $work/$name.seen ]]; then
        [[ $name -nt $work/$name.seen ]] && return 0
      else
        [[ -e $name ]] && return 0
      fi
    done
    kill -0 "$survey_pid" 2>/dev/null || return 0
  done
}

# Waits for the survey; its exit status in status.
finish_survey() {
  status=0
  wait "$survey_pid" 2>/dev/null || status=$?
  survey_pid=""
}

# The signed 32-bit number at byte $2 of file $1.
number_at() { od -An --endian=little -t d4 -j "$2" -N 4 "$1" | tr -d ' '; }

# One line per record: its number and its 92 bytes in hex.
records() { od -An -v -t x1 -w92 -j 8 "$1" | grep -n ''; }

# The records of finished units (COMPLETE set in the flags byte) of file $1.
finished_records() { records "$1" | grep -E '^[0-9]+:.{258} 0[4-7]' || true; }

# A progress file is absent, or whole: its size, a section offset of zero or more, its count.
check_progress() {
  [[ -e crash.soFar ]] || return 0
  local actual offset count
  actual=$(stat -c %s crash.soFar)
  ((actual == size)) || fail "$1: progress file of $actual bytes, not $size"
  offset=$(number_at crash.soFar 0)
  count=$(number_at crash.soFar 4)
  ((offset >= 0)) || fail "$1: stored report offset $offset"
  ((count == units)) || fail "$1: stored count $count, not $units"
}

# Every unit finished in the progress file $2 is still finished, byte for byte, in the current one:
# its record has not changed, its time of the last request included, so it was not asked again.
check_kept() {
  [[ -s "$2" ]] || return 0
  finished_records "$2" | sort >"$work/before.finished"
  records crash.soFar | sort >"$work/now.records"
  local lost
  lost=$(comm -23 "$work/before.finished" "$work/now.records" | wc -l)
  ((lost == 0)) || fail "$1: $lost finished units lost or changed since the last save"
}

# After a save that ran to its end: the report holds the earlier sections unchanged and this
# survey's section at the stored offset, one line per unit, its finished units with their modem
# data, and nothing after it.
check_saved() {
  check_progress "$1"
  [[ -e crash.soFar ]] || fail "$1: no progress file"
  [[ ! -e crash.soFar.tmp ]] || fail "$1: temporary file left by a save that ended normally"
  local offset finished lines full
  offset=$(number_at crash.soFar 0)
  ((offset == section_offset)) || fail "$1: section moved from $section_offset to $offset"
  cmp -s -n "$section_offset" crash.model "$work/earlier.sections" ||
    fail "$1: the earlier section changed"
  tail -c +"$((offset + 1))" crash.model >"$work/section"
  [[ $(head -n 1 "$work/section") == "$header" ]] || fail "$1: no header at the stored offset"
  lines=$(wc -l <"$work/section")
  ((lines == units + 1)) || fail "$1: section of $lines lines, not $((units + 1))"
  [[ $(tail -c 2 "$work/section" | od -An -t x1) == " 0d 0a" ]] ||
    fail "$1: the report goes on after the section"
  finished=$(finished_records crash.soFar | wc -l)
  full=$(grep -c $'^[^\t]*\t[^\t]*\t[^\t]*\t[^\t]*\t[^\t]*\t[^\t]*\t[^\t]*\t' <(tail -n +2 "$work/section") || true)
  ((full == finished)) || fail "$1: $full report lines with modem data, $finished finished units"
  last_finished=$finished
}

# An earlier survey of the list keeps the first section; the survey under test appends its own.
start_survey --new
wait_for_handlers || fail "vyr-survey did not start"
kill -TERM "$survey_pid"
finish_survey
((status == 3)) || fail "the first survey ended with $status"
section_offset=$(stat -c %s crash.model)
cp crash.model "$work/earlier.sections"
start_survey --new
wait_for_handlers || fail "vyr-survey did not start"
sleep 1
note_mtime crash.model
kill -TERM "$survey_pid"
wait_for_save crash.model
started=${EPOCHREALTIME/./}
finish_survey
save_ms=$(((${EPOCHREALTIME/./} - started) / 1000))
((status == 3)) || fail "the survey under test ended with $status"
check_saved "first save"
cp crash.soFar "$work/last.soFar"
echo "a save of $units units takes about $save_ms ms here, from its first write to the exit"

kills_after_rename=0
kills_in_report=0
kills_in_progress=0
saved_before_kill=0
tmp_seen=0
gap_limit=$((save_ms * 3 / 2 + 2))
for ((round = 1; round <= rounds; ++round)) do
  report_before=$(stat -c %.9Y crash.model)
  progress_before=$(stat -c %i:%.9Y crash.soFar 2>/dev/null || echo none)
  tmp_before=$(stat -c %.9Y crash.soFar.tmp 2>/dev/null || echo none)
  [[ $tmp_before != none ]] && tmp_seen=$((tmp_seen + 1))
  note_mtime crash.model
  note_mtime crash.soFar
  note_mtime crash.soFar.tmp
  start_survey
  if ((round % 2)); then
    # At any moment, start-up and the first polls included.
    ms=$((RANDOM % 800))
    how="SIGKILL after $ms ms"
    sleep_ms "$ms"
  else
    # Inside the save that SIGTERM asks for, or just after it.
    wait_for_handlers || fail "round $round: vyr-survey did not start"
    ms=$((100 + RANDOM % 400))
    gap=$((RANDOM % gap_limit))
    sleep_ms "$ms"
    kill -TERM "$survey_pid" 2>/dev/null || true
    if ((round % 4)); then
      how="SIGTERM after $ms ms, SIGKILL $gap ms after the report's first write"
      wait_for_save crash.model
    else
      gap=$((gap % 3))
      how="SIGTERM after $ms ms, SIGKILL $gap ms after the progress file's first write"
      wait_for_save crash.soFar.tmp crash.soFar
    fi
    sleep_ms "$gap"
  fi
  kill -KILL "$survey_pid" 2>/dev/null || true
  finish_survey
  # 137: killed; 3: its save ended before the kill.
  ((status == 137 || status == 3)) || fail "round $round ($how): vyr-survey ended with $status"

  check_progress "round $round ($how)"
  cmp -s -n "$section_offset" crash.model "$work/earlier.sections" ||
    fail "round $round ($how): a section before the survey's own changed"
  progress_after=$(stat -c %i:%.9Y crash.soFar 2>/dev/null || echo none)
  tmp_after=$(stat -c %.9Y crash.soFar.tmp 2>/dev/null || echo none)
  if ((status == 3)) && [[ $progress_after == "$progress_before" ]]; then
    fail "round $round ($how): vyr-survey said it saved, but the progress file was not replaced"
  fi
  if [[ $progress_after != "$progress_before" ]]; then
    # A new progress file is in place: it must keep every unit the last one had finished.
    check_kept "round $round ($how)" "$work/last.soFar"
    cp crash.soFar "$work/last.soFar"
    if ((status == 3)); then
      check_saved "round $round ($how)"
      saved_before_kill=$((saved_before_kill + 1))
    else
      kills_after_rename=$((kills_after_rename + 1))
    fi
  elif [[ $tmp_after != none && $tmp_after != "$tmp_before" ]]; then
    kills_in_progress=$((kills_in_progress + 1))
  elif [[ $(stat -c %.9Y crash.model) != "$report_before" ]]; then
    kills_in_report=$((kills_in_report + 1))
  fi
  echo "round $round: $how: exit $status, progress file $progress_before -> $progress_after," \
    "temporary file $tmp_before -> $tmp_after"
done

# A run allowed to end its survey by itself (timed out, so aborted and saved) after all that.
start_survey --timeout 3
finish_survey
((status == 2)) || fail "the last survey ended with $status, not 2 (timed out)"
check_kept "the last save" "$work/last.soFar"
check_saved "the last save"
cp crash.soFar "$work/last.soFar"

# Each stop signal makes it save.
for signal in TERM INT HUP; do
  start_survey
  wait_for_handlers || fail "vyr-survey did not start"
  sleep 0.3
  kill -"$signal" "$survey_pid"
  finish_survey
  ((status == 3)) || fail "SIG$signal: vyr-survey ended with $status, not 3"
  check_kept "SIG$signal" "$work/last.soFar"
  check_saved "SIG$signal"
  cp crash.soFar "$work/last.soFar"
done

kill -0 "$fleet_pid" 2>/dev/null || fail "the fleet simulator died: $(cat "$work/fleet.log")"
echo "rounds: $rounds; SIGKILL inside a save: $((kills_in_report + kills_in_progress + \
  kills_after_rename)) (while writing the report: $kills_in_report, while writing the progress" \
  "file: $kills_in_progress, once the new progress file was in place: $kills_after_rename);" \
  "saves that ended before the SIGKILL: $saved_before_kill; runs beside a leftover temporary" \
  "file: $tmp_seen"
echo "finished units at the end: $last_finished of $units (10 never answer)"
