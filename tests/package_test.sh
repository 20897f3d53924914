#!/usr/bin/env bash
# Builds the packages from a release build tree and checks what a user gets:
# the installed files, the manual page, the .deb and .tar.gz (Linux) or the
# .zip (Windows), and that the packaged program runs.
# Usage: package_test.sh BUILD_DIR VERSION SYSTEM RPM_ARCH [EMULATOR...]
#   SYSTEM: the packages' system name, windows-<x86|x64|arm64> or
#           linux-<Debian architecture>
#   RPM_ARCH: the .rpm's architecture, or - where there is no .rpm
set -u
build=$1 version=$2 system=$3 rpm_arch=$4
shift 4
emulator=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# rpm and rpmlint keep state in the home folder: rpm's database (~/.rpmdb
# on Debian, made by the first query), rpmlint's spelling checker
# (~/.config/enchant). Theirs is this test's, with a database of its own.
mkdir "$work/home"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share \
  XDG_CACHE_HOME=$work/home/.cache XDG_STATE_HOME=$work/home/.local/state
echo "%_dbpath $work/rpmdb" >"$HOME/.rpmmacros"

here=$(dirname "$0")
# The project's own Python: a deprecation fails the test.
python=(/usr/bin/python3 -W error::DeprecationWarning)

# A package holds exactly the given files (folders aside), no more.
expect_files() {
  local what=$1 listing
  shift
  listing=$(grep -v '/$' | sort)
  [[ $listing == "$(printf '%s\n' "$@" | sort)" ]] ||
    fail "$what holds:"$'\n'"$listing"$'\n'"expected:"$'\n'"$(printf '%s\n' "$@")"
}

# The notices name the library that the link took, with its licence text.
expect_notices() {
  local file=$1 library=$2 text=$3
  grep -q "^- $library " "$file" || fail "$file does not name $library"
  grep -q "$text" "$file" || fail "$file lacks the licence text ($text)"
}

# The packaged program must still print exactly the line, checked by the
# same script that checks the built one. Where that cannot run here (77), the
# whole test is skipped, as the script's own cases are.
expect_runs() {
  bash "$here/report_test.sh" shape "${emulator[@]}" "$1"
  case $? in
    0) ;;
    77) exit 77 ;;
    *) fail "$1 as packaged" ;;
  esac
}

# Every package of an architecture holds the same program, byte for byte, so
# that one hash identifies it in any of them: the .deb's is the reference.
expect_same_program() {
  local reference=$work/deb/usr/bin/uptime-report
  cmp -s "$reference" "$1" ||
    fail "$1 ($(stat -c %s "$1") bytes) is not the .deb's program ($(stat -c %s "$reference") bytes)"
}

# What `cmake --install` puts in place: the program, its manual page, LICENSE
# and the notices, and none of the .deb's own files.
installed_files=(./bin/uptime-report ./share/man/man1/uptime-report.1
  ./share/doc/uptime-report/LICENSE ./share/doc/uptime-report/NOTICES)

cpack --config "$build/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"

if [[ $system == windows-* ]]; then
  top=uptime-report-$version-$system
  zip=$work/packages/$top.zip
  unzip -Z1 "$zip" | expect_files "$zip" "$top/uptime-report.exe" "$top/README.txt" \
    "$top/LICENSE.txt" "$top/NOTICES.txt"
  unzip -q "$zip" -d "$work/zip" || fail "no $zip"
  # Only 32-bit x86 links a library: libgcc, for its 64-bit division.
  notices=$work/zip/$top/NOTICES.txt
  if [[ $system == windows-x86 ]]; then
    expect_notices "$notices" libgcc "GCC RUNTIME LIBRARY EXCEPTION"
  else
    grep -q "holds no third-party code" "$notices" || fail "$notices: $(cat "$notices")"
  fi
  grep -q "mingw-w64 runtime" "$notices" && fail "$notices names the mingw-w64 runtime, which no program links"
  first_windows=7
  [[ $system == windows-arm64 ]] && first_windows=10
  grep -q "Windows $first_windows and later" "$work/zip/$top/README.txt" ||
    fail "README.txt does not name Windows $first_windows and later"
  expect_runs "$work/zip/$top/uptime-report.exe"
  exit 0
fi

cmake --install "$build" --prefix "$work/root" >/dev/null || fail "cmake --install"
(cd "$work/root" && find . -type f) | expect_files "the installed tree" "${installed_files[@]}"
expect_runs "$work/root/bin/uptime-report"

# A tree where only the program was built (as bench/run.sh builds it)
# installs the same files: what the install takes is built with the program.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
cmake -S "$here/.." -B "$work/partial" -G "$(cache_value CMAKE_GENERATOR)" -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE="$(cache_value CMAKE_BUILD_TYPE)" \
  -DCMAKE_TOOLCHAIN_FILE="$(cache_value CMAKE_TOOLCHAIN_FILE)" \
  -DLINUX_TRIPLE="$(cache_value LINUX_TRIPLE)" -DLINUX_DEB_ARCH="$(cache_value LINUX_DEB_ARCH)" \
  >"$work/partial.log" 2>&1 &&
  cmake --build "$work/partial" --target uptime-report >>"$work/partial.log" 2>&1 ||
  fail "building only the program: $(cat "$work/partial.log")"
cmake --install "$work/partial" --prefix "$work/partial-root" >"$work/partial.log" 2>&1 ||
  fail "cmake --install after building only the program: $(cat "$work/partial.log")"
(cd "$work/partial-root" && find . -type f) |
  expect_files "the tree installed after building only the program" "${installed_files[@]}"
page=$work/root/share/man/man1/uptime-report.1
warnings=$(groff -man -ww -z "$page" 2>&1)
[[ -z $warnings ]] || fail "groff: $warnings"
man -l "$page" 2>&1 | grep -q "EXIT STATUS" || fail "man -l does not render the page"

# Where dpkg fails, the notices stop with its error and write nothing,
# instead of taking the linked files for files that no package owns.
mkdir "$work/failing-dpkg" "$work/notices"
printf '#!/bin/sh\necho "dpkg-query: error: out of memory" >&2\nexit 2\n' >"$work/failing-dpkg/dpkg"
chmod +x "$work/failing-dpkg/dpkg"
PATH=$work/failing-dpkg:$PATH "${python[@]}" "$here/../packaging/notices.py" \
  "$build/uptime-report.map" "$here/../packaging/third-party-licences" \
  "$here/../packaging/copyright" uptime-report "$work/notices" 2>"$work/notices.log" &&
  fail "the notices were written though dpkg failed"
grep -q "dpkg -S .*: dpkg-query: error: out of memory" "$work/notices.log" ||
  fail "the notices do not report dpkg's error: $(cat "$work/notices.log")"
[[ -z $(ls -A "$work/notices") ]] || fail "the notices were written though dpkg failed"

# Without a licence entry for a source whose code the link took (each one
# the notices name, in turn), they stop, naming it, and write nothing.
while read -r name source; do
  licences=$work/licences-without-$name
  awk -v RS= -v ORS='\n\n' -v name="$name" '$0 !~ "(^|\n)Name: " name "(\n|$)"' \
    "$here/../packaging/third-party-licences" >"$licences"
  "${python[@]}" "$here/../packaging/notices.py" "$build/uptime-report.map" "$licences" \
    "$here/../packaging/copyright" uptime-report "$work/notices" 2>"$work/notices.log" &&
    fail "the notices were written without a licence for $name"
  grep -q "but licences-without-$name has no licence for $source; add it there" "$work/notices.log" ||
    fail "the notices do not name $source as unlicensed: $(cat "$work/notices.log")"
  [[ -z $(ls -A "$work/notices") ]] || fail "the notices were written without a licence for $name"
done < <("${python[@]}" -c 'import json, sys
for c in json.load(open(sys.argv[1])): print(c["name"], c["source"])' "$build/notices/components.json")

arch=${system#linux-}
deb=$work/packages/uptime-report_${version}_$arch.deb
[[ -f $deb ]] || fail "no $deb"
for field in Package=uptime-report Version="$version" Section=utils Architecture="$arch"; do
  [[ $(dpkg-deb -f "$deb" "${field%%=*}") == "${field#*=}" ]] ||
    fail "${field%%=*}: $(dpkg-deb -f "$deb" "${field%%=*}")"
done
[[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no maintainer"
[[ -z $(dpkg-deb -f "$deb" Depends) ]] || fail "a static program depends on $(dpkg-deb -f "$deb" Depends)"
[[ $(dpkg-deb -f "$deb" Static-Built-Using) == *"musl (= "* ]] ||
  fail "Static-Built-Using: $(dpkg-deb -f "$deb" Static-Built-Using)"
dpkg-deb -I "$deb" >/dev/null || fail "dpkg-deb -I"
dpkg-deb --fsys-tarfile "$deb" | tar -t | expect_files "$deb" ./usr/bin/uptime-report \
  ./usr/share/man/man1/uptime-report.1.gz ./usr/share/doc/uptime-report/copyright \
  "./usr/share/doc/uptime-report/changelog$([[ $version == *-* ]] && echo .Debian).gz" \
  ./usr/share/lintian/overrides/uptime-report
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"
dpkg-deb -x "$deb" "$work/deb"
copyright=$work/deb/usr/share/doc/uptime-report/copyright
grep -q "^ musl .*, from Debian's musl-dev" "$copyright" || fail "the copyright file does not name musl"
grep -q "^License: Expat and " "$copyright" || fail "the copyright file gives no licence for the program"
expect_runs "$work/deb/usr/bin/uptime-report"

top=uptime-report-$version-$system
tgz=$work/packages/$top.tar.gz
tar -tzf "$tgz" | expect_files "$tgz" "$top/bin/uptime-report" \
  "$top/share/man/man1/uptime-report.1" "$top/share/doc/uptime-report/LICENSE" \
  "$top/share/doc/uptime-report/NOTICES"
mkdir "$work/tgz" && tar -xzf "$tgz" -C "$work/tgz"
expect_notices "$work/tgz/$top/share/doc/uptime-report/NOTICES" musl "Permission is hereby granted"
expect_runs "$work/tgz/$top/bin/uptime-report"
expect_same_program "$work/tgz/$top/bin/uptime-report"
cmake --install "$build" --prefix "$work/stripped" --strip >/dev/null || fail "cmake --install --strip"
expect_same_program "$work/stripped/bin/uptime-report"

# The .rpm: named and tagged for its architecture (its licence is the
# program's, with the code linked into it), needing nothing but what
# rpm itself provides, clean under rpmlint (unsigned here).
[[ $rpm_arch == - ]] && exit 0
# The .rpm carries the package revision as its release (1 where there is
# none).
rpm_version=$version
[[ $version == *-* ]] || rpm_version=$version-1
rpm=$work/packages/uptime-report-$rpm_version.$rpm_arch.rpm
[[ -f $rpm ]] || fail "no $rpm"
[[ $(rpm -qp --qf '%{ARCH} %{LICENSE}' "$rpm") == \
  "$rpm_arch MIT AND GPL-3.0-or-later WITH GCC-exception-3.1" ]] ||
  fail "tagged $(rpm -qp --qf '%{ARCH} %{LICENSE}' "$rpm")"
requires=$(rpm -qpR "$rpm" | grep -v '^rpmlib(')
[[ -z $requires ]] || fail "a static program requires $requires"
rpm -qlp "$rpm" | expect_files "$rpm" /usr/bin/uptime-report \
  /usr/share/licenses/uptime-report /usr/share/licenses/uptime-report/LICENSE \
  /usr/share/licenses/uptime-report/NOTICES /usr/share/man/man1/uptime-report.1.gz
rpmlint -c "$here/../packaging/rpmlint.toml" -r "$here/../packaging/unsigned.rpmlintrc" \
  "$rpm" >"$work/rpmlint.log" 2>&1 || fail "rpmlint: $(cat "$work/rpmlint.log")"
grep -q ' 0 errors, 0 warnings' "$work/rpmlint.log" || fail "rpmlint: $(cat "$work/rpmlint.log")"
mkdir "$work/rpm" && (cd "$work/rpm" && rpm2cpio "$rpm" | cpio -idm --quiet) || fail "rpm2cpio"
expect_notices "$work/rpm/usr/share/licenses/uptime-report/NOTICES" musl "Permission is hereby granted"
expect_runs "$work/rpm/usr/bin/uptime-report"
expect_same_program "$work/rpm/usr/bin/uptime-report"
