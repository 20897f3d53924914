#!/usr/bin/env bash
# Installs the Debian packages the project needs, as root or through sudo;
# the one list of them, which the README and CI use. It runs on Debian 12 or
# 13, taking versioned package names from the running release's line of
# cmake/debian-releases. (Shell, not Python: a minimal Debian has no Python
# until this has installed it.)
# Usage: scripts/setup.sh build|release|test|bench|roots
#   build: building and running the program on this machine
#   release: making, verifying and publishing releases, whose builds run in
#          Debian roots of their own (scripts/release.sh,
#          scripts/verify-release.sh, scripts/publish-repos.sh)
#   test:  every preset's build and tests, for every architecture this
#          release has musl for, a release (scripts/release.sh,
#          scripts/verify-release.sh), its APT, DNF and pacman repositories
#          (scripts/publish-repos.sh) and its OCI image
#   bench: the benchmark (bench/run.sh)
#   roots: making fresh Debian roots, as CI does (.ci/debian13_root.py)
# UPTIME_REPORT_ALLOW_OTHER=1 tries another system (a Debian derivative)
# with the packages of the release its os-release names as its base, of the
# oldest for an older Debian, else of the newest.
set -euo pipefail

case ${1:-} in
  build | release | test | bench | roots) mode=$1 ;;
  *) echo "usage: $0 build|release|test|bench|roots" >&2; exit 2 ;;
esac

# The table's releases, oldest first, each with its line: its codename and
# versions.
declare -A codename_of line_of
releases=() supported=
while read -r id codename rest; do
  releases+=("$id") codename_of[$id]=$codename line_of[$id]="$codename $rest"
  supported+="${supported:+ or }$id ($codename)"
done < <(grep -v '^#' "$(dirname "$0")/../cmake/debian-releases")
# Tests hand in another system's os-release.
os_release=${UPTIME_REPORT_OS_RELEASE:-/etc/os-release}
# os-release is written to be read by the shell; a subshell keeps its
# variables apart from this script's.
read -r id version_id codename debian_codename pretty < <(
  # shellcheck source=/dev/null
  . "$os_release" 2>/dev/null || true
  echo "${ID:--} ${VERSION_ID:--} ${VERSION_CODENAME:--} ${DEBIAN_CODENAME:--}" \
    "${PRETTY_NAME:-${ID:-a system without $os_release}}")
release=$version_id
if [[ $id != debian || -z ${line_of[$version_id]:-} ]]; then
  if [[ ${UPTIME_REPORT_ALLOW_OTHER:-} != 1 ]]; then
    echo "setup: this is $pretty; the project is set up on Debian $supported only." \
      "UPTIME_REPORT_ALLOW_OTHER=1 tries anyway, with the packages of the Debian release" \
      "that $os_release names as its base, else of Debian ${releases[0]} on an older Debian," \
      "else of Debian ${releases[-1]}." >&2
    exit 2
  fi
  # The release that a derivative names as its base; for an older Debian,
  # the oldest; else the newest.
  release=${releases[-1]}
  [[ $id == debian && $version_id =~ ^[0-9]+$ ]] && ((version_id < releases[0])) &&
    release=${releases[0]}
  for candidate in "${releases[@]}"; do
    [[ ${codename_of[$candidate]} == "$codename" || ${codename_of[$candidate]} == "$debian_codename" ]] &&
      release=$candidate
  done
  echo "setup: this is $pretty, not Debian $supported; trying with Debian $release's" \
    "packages (${codename_of[$release]}), as UPTIME_REPORT_ALLOW_OTHER=1 asks." >&2
fi
read -r _ llvm _ <<<"${line_of[$release]}"

# What each architecture of cmake/architectures needs: a Linux one its cross
# compiler and musl, where this release has musl for it; a Windows one its
# packages and the compiler of its PE loader. A line whose second word is
# "name" names its table's columns.
declare -A column cross_of
field() { printf '%s' "${row[${column[${row[0]} $1]}]}"; }
cross=() windows=()
while read -r -a row; do
  [[ ${#row[@]} -gt 0 && ${row[0]} != '#'* ]] || continue
  if [[ ${row[1]} == name ]]; then
    for i in "${!row[@]}"; do column[${row[0]} ${row[i]}]=$i; done
  elif [[ ${row[0]} == linux ]]; then
    cross_of[$(field name)]=$(field cross)
    if [[ ,$(field releases), == *,$release,* ]]; then
      cross+=("$(field cross)" "musl-dev:$(field name)")
    fi
  else
    needs=$(field packages)
    IFS=, read -r -a needs <<<"${needs//@llvm@/$llvm}"
    windows+=("${needs[@]}")
    if [[ $(field loader) != - ]]; then
      windows+=("${cross_of[$(field loader)]}")
    fi
  fi
done <"$(dirname "$0")/../cmake/architectures"

native=$(dpkg --print-architecture)
build=(cmake ninja-build g++ "musl-dev:$native" python3 dpkg)
# A release needs of this machine only what makes and enters its roots,
# checks signatures and compares, and what writes the repositories.
release=(python3 git mmdebstrap bubblewrap util-linux tar sqv gpg gpg-agent diffoscope-minimal apt-utils
  createrepo-c dpkg rpm xz-utils pacman-package-manager makepkg libarchive-tools)
test=("${build[@]}" "${release[@]}" "${cross[@]}" "${windows[@]}" libgtest-dev googletest qemu-user
  wine wine64 python3-pefile wine32:i386 python3-yaml dpkg-dev lintian rpm rpmlint unzip
  groff-base man-db clang-format clang-tidy black pyflakes3 osslsigncode openssl reuse dnf skopeo umoci podman runc)
bench=("${build[@]}" hyperfine valgrind time binutils)
roots=(debootstrap)
declare -n packages=$mode

# The machine's own compiler is its g++, not a cross package (a new system
# has no gcc to ask yet).
own_compiler=g++-$(gcc -dumpmachine 2>/dev/null | tr _ -) || true
missing=()
for package in "${packages[@]}"; do
  [[ $package == "$own_compiler" ]] && continue
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    missing+=("$package")
done
((${#missing[@]})) || exit 0

as_root=()
((EUID == 0)) || as_root=(sudo)
# musl-dev for another architecture (and Wine's 32-bit loader, wine32:i386)
# installs beside this one's (Multi-Arch: same), once dpkg knows that
# architecture. That outlasts this script, so it is said before it is done.
foreign=()
declare -A wanted_of
for package in "${missing[@]}"; do
  arch=${package#*:}
  [[ $package == *:* && $arch != "$native" ]] || continue
  if [[ -z ${wanted_of[$arch]:-} ]] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    foreign+=("$arch")
  fi
  wanted_of[$arch]+="${wanted_of[$arch]:+, }$package"
done
if ((${#foreign[@]})); then
  described=
  for arch in "${foreign[@]}"; do
    described+="${described:+, }$arch (${wanted_of[$arch]})"
  done
  echo "setup: adding the architectures that these packages are for to dpkg: $described." \
    "From now on every apt-get update on this machine also fetches their package lists" \
    "(dpkg --remove-architecture ARCH undoes it, once no package of ARCH is installed)."
  for arch in "${foreign[@]}"; do
    "${as_root[@]}" dpkg --add-architecture "$arch"
  done
fi
"${as_root[@]}" apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
