#!/usr/bin/env bash
# Catches Debian packages that miss a file (a program, a manual page, the copyright file, the
# Debian changelog, the desktop entry, the icon or the demo's examples), ship one twice, name
# Depends this system cannot satisfy, draw an error or warning from lintian (or any hardening
# tag), or install programs that do not run from where they land: builds them with CPack, runs
# lintian on them, installs all three with dpkg into a folder of their own, and runs the installed
# vyr-survey (its help, and a short survey of the installed vyr-fleet in a private network
# namespace), the installed vyr-fleet's --help and --demo, and the installed vyrmodel on Qt's
# offscreen platform.
# Usage: deb_package_test.sh BUILD-DIR SOURCE-DIR
set -euo pipefail
build=$(realpath "$1")
source_dir=$(realpath "$2")

source "$(dirname "$0")/../support/script_support.sh"
# The fleet binds the fixed unit and server ports: only inside a network namespace of our own.
enter_private_network VYR_PACKAGE_INSIDE "$@"

work=$(mktemp -d)
fleet_pid=""
cleanup() {
  [[ -n "$fleet_pid" ]] && kill "$fleet_pid" 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[[ -n $version ]] || fail "no package version in $build/CPackConfig.cmake"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
arch=$(dpkg --print-architecture)

# Each package: its name, version and files.
declare -A expected=(
  [vyrmodel]="./usr/bin/vyrmodel ./usr/share/man/man1/vyrmodel.1.gz
              ./usr/share/applications/vyrmodel.desktop
              ./usr/share/icons/hicolor/scalable/apps/vyrmodel.svg"
  [vyr-survey]="./usr/bin/vyr-survey ./usr/share/man/man1/vyr-survey.1.gz
                ./usr/bin/vyr-report ./usr/share/man/man1/vyr-report.1.gz
                ./usr/share/bash-completion/completions/vyr-survey
                ./usr/share/bash-completion/completions/vyr-report"
  [vyr-fleet]="./usr/bin/vyr-fleet ./usr/share/man/man1/vyr-fleet.1.gz
               ./usr/share/bash-completion/completions/vyr-fleet
               ./usr/share/doc/vyr-fleet/examples/demo.units
               ./usr/share/doc/vyr-fleet/examples/north.IPs
               ./usr/share/doc/vyr-fleet/examples/south.IPs"
)
debs=()
for package in vyrmodel vyr-survey vyr-fleet; do
  expected[$package]+=" ./usr/share/doc/$package/copyright ./usr/share/doc/$package/changelog.Debian.gz
                        ./usr/share/lintian/overrides/$package"
  deb="$work/out/${package}_${version}-1_${arch}.deb"
  [[ -f $deb ]] || fail "no $deb among: $(ls "$work/out")"
  debs+=("$deb")
  [[ $(dpkg-deb -f "$deb" Package) == "$package" ]] || fail "$deb is not named $package"
  for field in Maintainer Homepage; do
    [[ -n $(dpkg-deb -f "$deb" $field) ]] || fail "$package has no $field"
  done
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort >"$work/$package.files"
  for file in ${expected[$package]}; do
    grep -qx "$file" "$work/$package.files" || fail "$package lacks $file"
  done
  extra=$(grep -cvxF "$(printf '%s\n' ${expected[$package]})" "$work/$package.files" || true)
  ((extra == 0)) || fail "$package ships files it should not: $(cat "$work/$package.files")"

  # Every dependency is a package of this system at the version asked for, as apt would need.
  depends=$(dpkg-deb -f "$deb" Depends)
  [[ $depends == *libc6* && $depends == *libstdc++6* ]] || fail "$package Depends: '$depends'"
  IFS=',' read -ra items <<<"$depends"
  for item in "${items[@]}"; do
    read -r name relation wanted <<<"$(tr -d '()' <<<"$item")"
    have=$(dpkg-query -W -f='${Version}' "$name:$arch" 2>/dev/null ||
           dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || fail "$package needs $name"
    if [[ -n ${relation:-} ]]; then
      dpkg --compare-versions "$have" "$relation" "$wanted" ||
        fail "$package needs $name $relation $wanted, this system has $have"
    fi
  done
done
[[ $(dpkg-deb -f "${debs[0]}" Depends) == *libqt6widgets6* ]] || fail "vyrmodel does not need Qt"
[[ $(dpkg-deb -f "${debs[0]}" Depends) == *qt6-qpa-plugins* ]] ||
  fail "vyrmodel does not need Qt's platform plugins"

# lintian: no error and no warning, and none of its hardening tags (which it shows as notes).
# An override goes in packaging/lintian-overrides.in, with the reason written beside it.
command -v lintian >/dev/null || fail "lintian is missing: bash scripts/setup --tests installs it"
lintian --tag-display-limit 0 --display-info --fail-on none "${debs[@]}" >"$work/lintian.txt" 2>&1 ||
  fail "lintian could not run: $(cat "$work/lintian.txt")"
if grep -E '^[EW]: |hardening-' "$work/lintian.txt"; then
  fail "lintian (above)"
fi

# Installed together by dpkg into a root of their own: no file shipped twice, control files
# dpkg accepts. The libraries they depend on are this system's, outside that root.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg --root="$root" --force-depends --force-script-chrootless --force-not-root -i "${debs[@]}" \
  >"$work/dpkg.log" 2>&1 || fail "dpkg: $(cat "$work/dpkg.log")"
for package in vyrmodel vyr-survey vyr-fleet; do
  [[ $(dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' "$package") == \
     "install ok installed" ]] || fail "$package is not installed in $root"
done
bin="$root/usr/bin"

"$bin/vyr-survey" --help >"$work/help.txt" || fail "vyr-survey --help exited with $?"
grep -q '^Exit status:' "$work/help.txt" || fail "no exit statuses in the help"
[[ $("$bin/vyr-survey" --version) == "vyr-survey $version" ]] || fail "vyr-survey --version"
[[ $("$bin/vyr-report" --version) == "vyr-report $version" ]] || fail "vyr-report --version"

# The manual pages render without a warning, and vyr-survey's names every option of its help and
# every exit status.
man1="$root/usr/share/man/man1"
for page in vyrmodel vyr-survey vyr-fleet vyr-report; do
  warnings=$(zcat "$man1/$page.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
  [[ -z $warnings ]] || fail "$page.1: $warnings"
done
zcat "$man1/vyr-survey.1.gz" | groff -man -Tutf8 2>/dev/null | sed 's/.\x08//g' >"$work/man.txt"
for option in $(grep -oE -- '--[a-z]+' "$work/help.txt" | sort -u); do
  grep -qF -- "$option" "$work/man.txt" || fail "the manual page lacks $option"
done
for status in $(sed -n 's/^  \([0-9]\)  .*/\1/p' "$work/help.txt"); do
  grep -qE "^ {7}$status {2,}" "$work/man.txt" || fail "the manual page lacks exit status $status"
done
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$root/usr/share/applications/vyrmodel.desktop" ||
    fail "desktop entry: see above"
fi

# The installed vyr-fleet's command line, and its demo files: those of demo/, as its examples.
"$bin/vyr-fleet" --help >"$work/fleet-help.txt" || fail "vyr-fleet --help exited with $?"
grep -q -- '--demo DIR' "$work/fleet-help.txt" || fail "vyr-fleet --help: $(cat "$work/fleet-help.txt")"
[[ $("$bin/vyr-fleet" -V) == "vyr-fleet $version" ]] || fail "vyr-fleet -V"
"$bin/vyr-fleet" --demo "$work/demo" >"$work/demo.txt" || fail "vyr-fleet --demo exited with $?"
grep -q 'vyr-fleet demo.units' "$work/demo.txt" || fail "vyr-fleet --demo: $(cat "$work/demo.txt")"
for file in demo.units north.IPs south.IPs; do
  cmp "$work/demo/$file" "$source_dir/demo/$file" || fail "vyr-fleet --demo wrote another $file"
  cmp "$root/usr/share/doc/vyr-fleet/examples/$file" "$source_dir/demo/$file" ||
    fail "the examples' $file is not demo/'s"
done
! "$bin/vyr-fleet" --demo "$work/demo" 2>/dev/null || fail "vyr-fleet --demo overwrote its files"

# Starts the installed vyr-fleet with arguments "$@" in the working directory; sets fleet_pid.
start_fleet() {
  "$bin/vyr-fleet" "$@" >fleet.log 2>&1 &
  fleet_pid=$!
  for _ in $(seq 300); do
    grep -qx ready fleet.log 2>/dev/null && break
    kill -0 "$fleet_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -qx ready fleet.log || fail "the installed vyr-fleet did not start: $(cat fleet.log)"
}

# A short survey with the installed programs.
mkdir "$work/survey"
cd "$work/survey"
start_fleet --generate 50 --seed 5 --write-list small.IPs
status=0
timeout 120 "$bin/vyr-survey" --server 127.0.0.1 --list small.IPs --json small.json \
  2>survey.log || status=$?
((status == 0)) || fail "the installed vyr-survey ended with $status: $(cat survey.log)"
(($(wc -l <small.model) == 51)) || fail "report of $(wc -l <small.model) lines, not 51"
(($(stat -c %s small.soFar) == 8 + 92 * 50)) || fail "progress file of the wrong size"
(($(grep -c '"type":"unit"' small.json) == 50)) || fail "not 50 units in the JSON"
tail -n 1 small.json | grep -q '"outcome":"complete"' || fail "no summary in the JSON"
kill "$fleet_pid"
wait "$fleet_pid" 2>/dev/null || true
fleet_pid=""

# The demo as the README runs it from the installed programs, vyr-survey in the dialog's place.
cd "$work/demo"
start_fleet demo.units
status=0
timeout 120 "$bin/vyr-survey" --server 127.0.0.1 --list north.IPs --quiet || status=$?
((status == 0)) || fail "the demo's survey of north.IPs ended with $status"
kill "$fleet_pid"
wait "$fleet_pid" 2>/dev/null || true
fleet_pid=""

# The installed dialog starts (its libraries resolve) and ends on SIGTERM as Exit would.
QT_QPA_PLATFORM=offscreen "$bin/vyrmodel" >dialog.log 2>&1 &
dialog_pid=$!
sleep 1
kill -0 "$dialog_pid" 2>/dev/null || fail "the installed vyrmodel did not start: $(cat dialog.log)"
kill -TERM "$dialog_pid"
status=0
wait "$dialog_pid" || status=$?
((status == 0)) || fail "the installed vyrmodel ended with $status: $(cat dialog.log)"

echo "packages: $(cd "$work/out" && ls ./*.deb | tr '\n' ' ')"
echo "lintian: no error, warning or hardening tag; installed in a root of their own; help," \
  "manual pages, desktop entry, the demo's files, a survey of 50 units, the demo's survey and" \
  "the dialog's start" \
  "all good"
