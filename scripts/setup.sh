#!/usr/bin/env bash
# Installs the Debian packages the project needs, as root or through sudo;
# the one list of them, which the README and CI use.
# Usage: scripts/setup.sh build|test
#   build: building and running the program on this machine
#   test:  every preset's build and tests, for every architecture, and a
#          release (scripts/release.sh)
set -euo pipefail

native=$(dpkg --print-architecture)
build=(cmake ninja-build g++ "musl-dev:$native")
test=("${build[@]}" libgtest-dev googletest
  g++-aarch64-linux-gnu musl-dev:arm64 g++-arm-linux-gnueabihf musl-dev:armhf qemu-user
  g++-mingw-w64-x86-64-posix wine wine64 python3-pefile
  dpkg-dev lintian unzip groff-base man-db clang-format clang-tidy
  osslsigncode openssl diffoscope-minimal)

case ${1:-} in
  build) packages=("${build[@]}") ;;
  test) packages=("${test[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
((${#missing[@]})) || exit 0

as_root=()
((EUID == 0)) || as_root=(sudo)
# musl-dev for another architecture installs beside this one's (Multi-Arch:
# same), once dpkg knows that architecture.
for package in "${missing[@]}"; do
  arch=${package#*:}
  if [[ $package == *:* && $arch != "$native" ]] &&
    ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    "${as_root[@]}" dpkg --add-architecture "$arch"
  fi
done
"${as_root[@]}" apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
