#!/usr/bin/env bash
# Runs scripts/setup.sh test on other systems than this one, given as their
# os-release, with dpkg, apt-get and sudo replaced by stand-ins that install
# nothing and record what they were asked: which releases it refuses, and
# which release's packages it takes on the others.
# Usage: setup_test.sh            runs the cases below
#        setup_test.sh VERSION_ID  prints what it installs on that Debian
#                                  release (tests/architectures_test.py)
set -u
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL [$name]: $*"; exit 1; }

mkdir "$work/bin"
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$work/bin/$1" && chmod +x "$work/bin/$1"; }
stub dpkg 'case $1 in --print-architecture) echo amd64 ;; --add-architecture) echo "dpkg $*" >>"$LOG" ;; esac'
stub dpkg-query 'exit 1'
stub apt-get 'echo "apt-get $*" >>"$LOG"'
stub sudo 'exec "$@"'
# As on a new system, before the build set-up: no compiler.
stub gcc 'exit 127'

# name | os-release | UPTIME_REPORT_ALLOW_OTHER | status | in its messages |
# packages it must install | packages it must not
cases=(
  "Debian 12|ID=debian VERSION_ID=12 VERSION_CODENAME=bookworm||0|dpkg: arm64 (musl-dev:arm64), armel (musl-dev:armel), i386 (musl-dev:i386, wine32:i386),|clang-16 musl-dev:mipsel g++-mipsel-linux-gnu|clang-19 musl-dev:riscv64 g++-riscv64-linux-gnu"
  "Debian 13|ID=debian VERSION_ID=13 VERSION_CODENAME=trixie||0||clang-19 lld-19 llvm-19 musl-dev:riscv64 g++-riscv64-linux-gnu musl-dev:s390x|clang-16 musl-dev:mips64el musl-dev:mipsel g++-mips64el-linux-gnuabi64"
  "Ubuntu|ID=ubuntu ID_LIKE=debian VERSION_ID=24.04 VERSION_CODENAME=noble||2|Debian 12 (bookworm) or 13 (trixie) only||"
  "Debian testing|ID=debian VERSION_CODENAME=forky||2|UPTIME_REPORT_ALLOW_OTHER=1 tries anyway||"
  "Debian 11|ID=debian VERSION_ID=11 VERSION_CODENAME=bullseye||2|||"
  "no os-release|||2|a system without|"
  "Ubuntu, allowed|ID=ubuntu ID_LIKE=debian VERSION_ID=24.04 VERSION_CODENAME=noble|1|0|trying with Debian 13's packages|clang-19|clang-16"
  "LMDE 6, allowed|ID=linuxmint ID_LIKE=debian VERSION_CODENAME=faye DEBIAN_CODENAME=bookworm|1|0|Debian 12's packages|clang-16|clang-19"
  "Debian 11, allowed|ID=debian VERSION_ID=11 VERSION_CODENAME=bullseye|1|0|Debian 12's packages|clang-16|"
)
# Runs setup.sh test on the system that FIELDS describe; its status is
# setup.sh's, what it asked of apt-get is in $work/log.
setup() { # setup FIELDS ALLOW
  rm -f "$work/os-release"
  [[ -n $1 ]] && printf '%s\n' $1 'PRETTY_NAME="the system under test"' >"$work/os-release"
  : >"$work/log"
  LOG=$work/log PATH=$work/bin:$PATH UPTIME_REPORT_OS_RELEASE=$work/os-release \
    UPTIME_REPORT_ALLOW_OTHER=$2 bash "$here/../scripts/setup.sh" test \
    >"$work/out" 2>&1 </dev/null
}
installs() { sed -n 's/^apt-get install -y -q --no-install-recommends //p' "$work/log"; }
if (($#)); then
  name="Debian $1"
  setup "ID=debian VERSION_ID=$1" "" || fail "$(cat "$work/out")"
  installs
  exit 0
fi

for entry in "${cases[@]}"; do
  IFS='|' read -r name fields allow status message wanted unwanted <<<"$entry"
  setup "$fields" "$allow"
  got=$?
  ((got == status)) || fail "exit status $got, expected $status: $(cat "$work/out")"
  [[ -z $message ]] || grep -qF "$message" "$work/out" || fail "says: $(cat "$work/out")"
  if ((status != 0)); then
    [[ -s $work/log ]] && fail "changed the system before stopping: $(cat "$work/log")"
    echo "$name: refused"
    continue
  fi
  installed=" $(installs) "
  for package in $wanted; do
    [[ $installed == *" $package "* ]] || fail "does not install $package:$installed"
  done
  for package in $unwanted; do
    [[ $installed == *" $package "* ]] && fail "installs $package, which is not this release's"
  done
  echo "$name: installs $(grep -ow 'clang-[0-9][0-9]*' <<<"$installed")"
done
exit 0
