#!/usr/bin/env bash
# Builds the packages from a release build tree and checks what a user gets:
# the installed files, the manual page, the .deb and .tar.gz (Linux) or the
# .zip (Windows), and that the packaged program runs.
# Usage: package_test.sh BUILD_DIR VERSION SYSTEM [EMULATOR...]
#   SYSTEM: the packages' system name, win64 or linux-<Debian architecture>
set -u
build=$1 version=$2 system=$3
shift 3
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Every member must be listed by the given command.
expect_members() {
  local listing=$1 member
  shift
  for member in "$@"; do
    grep -qE "(^|[ /])${member}\$" <<<"$listing" || fail "missing $member in: $listing"
  done
}

# The packaged program must still print exactly the line, checked by the
# same script that checks the built one.
expect_runs() {
  bash "$(dirname "$0")/report_test.sh" shape "${emulator[@]}" "$1" || fail "$1 as packaged"
}

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"

if [[ $system == win64 ]]; then
  zip=$work/packages/uptime-report-$version-win64.zip
  listing=$(unzip -Z1 "$zip")
  [[ $(wc -l <<<"$listing") == 3 ]] || fail "unexpected members: $listing"
  expect_members "$listing" uptime-report.exe README.txt LICENSE.txt
  unzip -q "$zip" -d "$work/zip" || fail "no $zip"
  expect_runs "$work/zip/uptime-report-$version-win64/uptime-report.exe"
  exit 0
fi

# cmake --install puts the program and its manual page in place.
cmake --install "$build" --prefix "$work/root" >/dev/null || fail "cmake --install"
expect_members "$(cd "$work/root" && find . -type f)" \
  bin/uptime-report share/man/man1/uptime-report.1
expect_runs "$work/root/bin/uptime-report"
page=$work/root/share/man/man1/uptime-report.1
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff: $warnings"
man -l "$page" 2>&1 | grep -q "EXIT STATUS" || fail "man -l does not render the page"

arch=${system#linux-}
deb=$work/packages/uptime-report_${version}_$arch.deb
[[ -f $deb ]] || fail "no $deb"
for field in Package=uptime-report Version="$version" Section=utils Architecture="$arch"; do
  [[ $(dpkg-deb -f "$deb" "${field%%=*}") == "${field#*=}" ]] ||
    fail "${field%%=*}: $(dpkg-deb -f "$deb" "${field%%=*}")"
done
[[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no maintainer"
[[ -z $(dpkg-deb -f "$deb" Depends) ]] || fail "a static program depends on $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -I "$deb" >/dev/null || fail "dpkg-deb -I"
expect_members "$(dpkg-deb -c "$deb")" usr/bin/uptime-report \
  usr/share/man/man1/uptime-report.1.gz usr/share/doc/uptime-report/copyright \
  usr/share/doc/uptime-report/changelog.gz
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"
dpkg-deb -x "$deb" "$work/deb"
expect_runs "$work/deb/usr/bin/uptime-report"

tgz=$work/packages/uptime-report-$version-$system.tar.gz
expect_members "$(tar -tzf "$tgz")" bin/uptime-report share/man/man1/uptime-report.1
