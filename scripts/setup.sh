#!/usr/bin/env bash
# Installs the Debian packages the project needs, as root or through sudo;
# the one list of them, which the README and CI use.
# Usage: scripts/setup.sh build|test|bench
#   build: building and running the program on this machine
#   test:  every preset's build and tests, for every architecture, a
#          release (scripts/release.sh, scripts/verify-release.sh) and its
#          APT and DNF repositories (scripts/publish-repos.sh)
#   bench: the benchmark (bench/run.sh)
set -euo pipefail

native=$(dpkg --print-architecture)
build=(cmake ninja-build g++ "musl-dev:$native" python3 dpkg)
# Debian 12's release architectures: each one's cross compiler and musl. The
# armhf packages carry the armel program (ARMv5TE and up, the ARMv6
# Raspberry Pi boards included), so armhf needs no compiler of its own.
cross=(
  g++-x86-64-linux-gnu musl-dev:amd64
  g++-aarch64-linux-gnu musl-dev:arm64
  g++-arm-linux-gnueabi musl-dev:armel
  g++-i686-linux-gnu musl-dev:i386
  g++-powerpc64le-linux-gnu musl-dev:ppc64el
  g++-s390x-linux-gnu musl-dev:s390x
  g++-mips64el-linux-gnuabi64 musl-dev:mips64el
  g++-mipsel-linux-gnu musl-dev:mipsel
)
test=("${build[@]}" "${cross[@]}" libgtest-dev googletest qemu-user
  g++-mingw-w64-x86-64-posix wine wine64 python3-pefile
  g++-mingw-w64-i686-posix wine32:i386 clang-16 lld-16 llvm-16 python3-yaml
  dpkg-dev lintian rpm rpmlint unzip groff-base man-db clang-format clang-tidy
  osslsigncode openssl gnupg gpgv git diffoscope-minimal reuse bubblewrap
  apt-utils createrepo-c dnf xz-utils)
bench=("${build[@]}" hyperfine valgrind time binutils)

case ${1:-} in
  build) packages=("${build[@]}") ;;
  test) packages=("${test[@]}") ;;
  bench) packages=("${bench[@]}") ;;
  *) echo "usage: $0 build|test|bench" >&2; exit 2 ;;
esac

missing=()
for package in "${packages[@]}"; do
  # The machine's own compiler is its g++, not a cross package.
  [[ $package == "g++-$(gcc -dumpmachine 2>/dev/null | tr _ -)" ]] && continue
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
