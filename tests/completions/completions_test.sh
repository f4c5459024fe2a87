#!/usr/bin/env bash
# Catches bash completions that offer a wrong or missing option, subcommand or value, or files of
# the wrong kind, or that are not registered for their command: sources each completion file
# and completes a table of command lines in a folder of known files.
# Usage: completions_test.sh COMPLETIONS-DIR
set -uo pipefail
completions=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
touch north.IPs south.ips notes.txt a.model b.units
mkdir sites
for command in vyr-survey vyr-report vyr-fleet; do
  # shellcheck source=/dev/null
  source "$completions/$command" || { echo "cannot source $command"; exit 1; }
done

# The words of a command line ("_" is an empty word being completed; the last word is the one
# completed), what the completion must offer and what it must not; "-" for nothing at all.
cases=(
  "vyr-survey --l|--list|--log"
  "vyr-survey _|--list --json -V --version --quiet -q|north.IPs"
  "vyr-survey --list _|north.IPs south.ips sites|notes.txt a.model b.units"
  "vyr-survey --list = no|north.IPs|south.ips"
  "vyr-survey --list north.IPs --json _|- notes.txt a.model sites|--quiet"
  "vyr-survey --timeout _|-|"
  "vyr-survey --list north.IPs -|-V --new --rate --server --timeout -h --help|--list="
  "vyr-report _|summary diff html --help -V --version|a.model --section"
  "vyr-report summary _|a.model sites|notes.txt north.IPs summary"
  "vyr-report diff --|--from --to --format --help|--output --section"
  "vyr-report html -|-o --output --section|-V --format --from"
  "vyr-report summary --format _|text csv json|a.model"
  "vyr-report summary --format = c|csv|text"
  "vyr-report html a.model -o _|notes.txt sites|"
  "vyr-fleet _|b.units sites|north.IPs notes.txt"
  "vyr-fleet b.units --write-list _|north.IPs south.ips sites|b.units"
  "vyr-fleet --demo _|sites|b.units"
  "vyr-fleet --|--write-list --generate --seed --demo --help --version|--list"
  "vyr-fleet -|-h -V|"
  "vyr-fleet --generate _|-|"
)

failures=0
for row in "${cases[@]}"; do
  IFS='|' read -r line offered refused <<<"$row"
  read -ra COMP_WORDS <<<"$line"
  [[ ${COMP_WORDS[-1]} == _ ]] && COMP_WORDS[-1]=""
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  # The function the command is registered with, as bash would find it.
  function=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -n 's/.* -F \([^ ]*\) .*/\1/p')
  if [[ -z $function ]]; then
    echo "FAIL [$line]: no completion registered for ${COMP_WORDS[0]}"
    failures=$((failures + 1))
    continue
  fi
  COMPREPLY=()
  "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  got=" ${COMPREPLY[*]} "
  problem=""
  if [[ $offered == - ]]; then
    ((${#COMPREPLY[@]} == 0)) || problem="offers something"
  else
    for word in $offered; do [[ $got == *" $word "* ]] || problem+=" lacks $word;"; done
  fi
  for word in $refused; do [[ $got == *" $word "* ]] && problem+=" offers $word;"; done
  if [[ -n $problem ]]; then
    echo "FAIL [$line]:$problem offered:$got"
    failures=$((failures + 1))
  fi
done
echo "${#cases[@]} command lines, $failures failed"
((failures == 0))
