#!/usr/bin/env bash
# Makes a release: every artifact the project ships, built from a clean copy
# of the sources, byte for byte the same wherever, whenever and by whomever it
# is made, with what each is made of (SPDX), how it was built (BUILDINFO) and
# SHA256SUMS over them all.
#
# Usage: scripts/release.sh DIR
#   DIR must not exist yet, or be an empty folder. A new DIR appears only
#   once complete; an empty one is filled only once all is made.
#
# Runs from a git checkout (a release of the checked-out commit; the work
# tree must be clean) or from an unpacked source archive of a release, which
# carries its commit and SOURCE_DATE_EPOCH in RELEASE-INFO: both give the
# same bytes.
#
# Environment (nothing else of the caller's reaches the build):
#   SOURCE_DATE_EPOCH  every timestamp in the artifacts (default: the
#                      commit's, or RELEASE-INFO's)
#   SIGN_PKCS12, SIGN_PASSWORD  a .p12/.pfx file and its password: sign
#                      uptime-report.exe with Authenticode (osslsigncode)
#   SIGN_GPG_KEY, SIGN_GPG_PASSPHRASE  an exported OpenPGP secret key and its
#                      passphrase, if it has one: sign SHA256SUMS
#                      (SHA256SUMS.asc) and the .rpm packages
#   SIGNATURES_FROM    a published release of the same commit: instead of
#                      signing, take its signatures (the .exe's, the .rpm
#                      packages') onto the rebuilt artifacts, so that a
#                      rebuild without the keys can be compared byte for byte
#                      (scripts/verify-release.sh)
#   RELEASE_URL        where the release's files will be published: write the
#                      winget and Scoop manifests for the Windows .zip files,
#                      which point there (recorded in RELEASE-INFO, so that a
#                      rebuild from the source archive writes them again)
set -euo pipefail

usage="usage: scripts/release.sh DIR   (DIR: a new or empty folder; see the README's Releases)"
fail() { echo "release: $*" >&2; exit 1; }

# Nothing of the caller's environment reaches the artifacts: the script runs
# again with only what it needs, a fixed PATH, no HOME (no ~/.gitconfig,
# ~/.rpmmacros, ...), and its own umask, locale and time zone. Compiler and
# linker flags, git's and CMake's variables are all left behind.
if [[ -z ${RELEASE_CLEAN_ENVIRONMENT:-} ]]; then
  keep=()
  for name in SOURCE_DATE_EPOCH SIGN_PKCS12 SIGN_PASSWORD SIGN_GPG_KEY SIGN_GPG_PASSPHRASE \
    SIGNATURES_FROM RELEASE_URL; do
    [[ -v $name ]] && keep+=("$name=${!name}")
  done
  exec env -i RELEASE_CLEAN_ENVIRONMENT=1 PATH=/usr/bin:/bin:/usr/sbin:/sbin \
    HOME=/nonexistent GIT_CONFIG_NOSYSTEM=1 LC_ALL=C TZ=UTC "${keep[@]}" \
    bash "$(realpath "${BASH_SOURCE[0]}")" "$@"
fi
umask 022

case ${1:-} in
  -h | --help) echo "$usage"; exit 0 ;;
  -*) fail "$1 is not a folder name (options are not taken); $usage" ;;
esac
(($# == 1)) && [[ -n $1 ]] || fail "$usage"
out=$(realpath -m -- "$1")
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
root=$(dirname "$here")
tools=$here/release_tools.py

# Where the sources come from: the checkout this script is in, or the
# unpacked source archive it is part of.
if [[ -e $root/.git ]]; then
  command -v git >/dev/null || fail "git is missing (apt-get install git), and $root is a git checkout"
  [[ $(git -C "$root" rev-parse --show-toplevel 2>/dev/null) == "$root" ]] ||
    fail "$root is not the top of a git work tree"
  changes=$(git -C "$root" status --porcelain)
  [[ -z $changes ]] || fail "the work tree has uncommitted changes; a release is of a commit:
$changes"
  commit=$(git -C "$root" rev-parse HEAD)
  epoch=$(git -C "$root" log -1 --format=%ct)
elif [[ -f $root/RELEASE-INFO ]]; then
  commit=$(sed -n 's/^Commit: //p' "$root/RELEASE-INFO")
  epoch=$(sed -n 's/^Source-Date-Epoch: //p' "$root/RELEASE-INFO")
  RELEASE_URL=${RELEASE_URL:-$(sed -n 's/^Release-Url: //p' "$root/RELEASE-INFO")}
else
  fail "$root is neither a git checkout nor an unpacked source archive (no RELEASE-INFO)"
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$epoch}
# A whole number of seconds that every format here can hold: rpm and tar
# headers keep 32 bits.
[[ $SOURCE_DATE_EPOCH =~ ^(0|[1-9][0-9]{0,9})$ ]] && ((SOURCE_DATE_EPOCH <= 4294967295)) ||
  fail "SOURCE_DATE_EPOCH must be a whole number of seconds from 0 to 4294967295, not '$SOURCE_DATE_EPOCH'"

tools_needed=(cmake cpack ninja tar gzip dpkg-deb dpkg-query rpmbuild sha256sum /usr/bin/python3)
if [[ -n ${SIGN_PKCS12:-} ]]; then
  [[ -v SIGN_PASSWORD ]] || fail "SIGN_PKCS12 is set but SIGN_PASSWORD is not (set it empty for none)"
  [[ -r $SIGN_PKCS12 ]] || fail "cannot read SIGN_PKCS12: $SIGN_PKCS12"
  SIGN_PKCS12=$(realpath "$SIGN_PKCS12")
  tools_needed+=(osslsigncode)
fi
if [[ -n ${SIGN_GPG_KEY:-} ]]; then
  [[ -r $SIGN_GPG_KEY ]] || fail "cannot read SIGN_GPG_KEY: $SIGN_GPG_KEY"
  SIGN_GPG_KEY=$(realpath "$SIGN_GPG_KEY")
  tools_needed+=(gpg rpmsign)
fi
if [[ -n ${SIGNATURES_FROM:-} ]]; then
  [[ -z ${SIGN_PKCS12:-}${SIGN_GPG_KEY:-} ]] || fail "SIGNATURES_FROM takes the place of signing keys; give one or the other"
  [[ -d $SIGNATURES_FROM ]] || fail "SIGNATURES_FROM is not a folder: $SIGNATURES_FROM"
  SIGNATURES_FROM=$(realpath "$SIGNATURES_FROM")
  tools_needed+=(osslsigncode)
fi
for tool in "${tools_needed[@]}"; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing (bash scripts/setup.sh test installs what a release needs)"
done
if [[ -e $out || -L $out ]]; then
  [[ -d $out && ! -L $out && -z $(ls -A "$out") ]] || fail "$out exists and is not an empty folder"
fi

# Everything is made in a hidden folder, inside DIR when DIR already exists
# (so that its mode, group and mount stay), beside it otherwise, and moved
# into place at the end. Whatever ends the script, early or by a signal,
# removes that folder and nothing else; the build steps run in a process
# group of their own, which a signal stops first.
stage= step_pid=
cleanup() {
  if [[ -n $step_pid ]]; then
    kill -TERM -- "-$step_pid" 2>/dev/null || true
    wait "$step_pid" 2>/dev/null || true
  fi
  [[ -n $stage ]] && rm -rf "$stage"
  return 0
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP
if [[ -d $out ]]; then
  stage=$(mktemp -d "$out/.partial.XXXXXX") || fail "cannot write in $out"
else
  mkdir -p "$(dirname "$out")" && stage=$(mktemp -d "$(dirname "$out")/.$(basename "$out").partial.XXXXXX") ||
    fail "cannot make a folder beside $out"
fi
# DIR's group and setgid bit stay DIR's: nothing built inside inherits them.
chgrp "$(id -g)" "$stage" && chmod g-s,go-rwx "$stage"
work=$stage/work artifacts=$stage/artifacts src=$stage/work/src
mkdir "$work" "$artifacts" "$src"
export TMPDIR=$work

# Runs a step in a process group of its own, with its output in a log that is
# shown only when it fails.
step() {
  local what=$1 status=0
  shift
  setsid "$@" >"$work/step.log" 2>&1 </dev/null &
  step_pid=$!
  wait "$step_pid" || status=$?
  step_pid=
  ((status == 0)) || fail "$what failed:
$(tail -n 40 "$work/step.log")"
}

# The OpenPGP key, checked before anything is built: it must sign at the
# release's time, which gpg refuses for a key made after it.
if [[ -n ${SIGN_GPG_KEY:-} ]]; then
  export GNUPGHOME=$work/gnupg
  mkdir -m 700 "$GNUPGHOME"
  gpg_sign=(gpg --batch --no-tty --faked-system-time "$SOURCE_DATE_EPOCH!" --pinentry-mode loopback
    --passphrase-file "$work/gpg-passphrase")
  printf '%s' "${SIGN_GPG_PASSPHRASE:-}" >"$work/gpg-passphrase"
  gpg --batch --ignore-time-conflict --import "$SIGN_GPG_KEY" >"$work/gpg.log" 2>&1 ||
    fail "cannot import SIGN_GPG_KEY: $(cat "$work/gpg.log")"
  read -r gpg_fingerprint gpg_created < <(gpg --batch --with-colons --list-secret-keys |
    awk -F: '/^sec/ { created = $6 } /^fpr/ && created { print $10, created; exit }')
  [[ -n ${gpg_fingerprint:-} ]] || fail "SIGN_GPG_KEY holds no secret key"
  ((gpg_created <= SOURCE_DATE_EPOCH)) ||
    fail "the OpenPGP key was made at $gpg_created, after SOURCE_DATE_EPOCH ($SOURCE_DATE_EPOCH): a release signs at the commit's time, and gpg will not sign before a key existed; use a key older than the commit"
  echo test >"$work/gpg-test"
  "${gpg_sign[@]}" --local-user "$gpg_fingerprint" --detach-sign -o "$work/gpg-test.sig" \
    "$work/gpg-test" >"$work/gpg.log" 2>&1 ||
    fail "signing with SIGN_GPG_KEY failed (a wrong SIGN_GPG_PASSPHRASE?): $(cat "$work/gpg.log")"
fi

# Archives are rewritten: members in name order, SOURCE_DATE_EPOCH's time,
# root's ownership, plain modes, and gzip without a timestamp of its own.
# (CPack takes members in the order the file system lists them.)
tar_sorted() {
  tar --sort=name --mtime="@$SOURCE_DATE_EPOCH" --clamp-mtime --owner=0 --group=0 \
    --numeric-owner --mode=u=rwX,go=rX --format=gnu "$@"
}
repack_tgz() {
  local archive=$1 tree
  tree=$(mktemp -d "$work/tgz.XXXXXX")
  tar -xzf "$archive" -C "$tree"
  (cd "$tree" && tar_sorted -cf - -- *) | gzip -9n >"$archive"
}

# Signs the .exe in place; the signing time is SOURCE_DATE_EPOCH, so that
# signing is as reproducible as the rest.
sign_exe() {
  local exe=$1
  osslsigncode sign -pkcs12 "$SIGN_PKCS12" -readpass /dev/stdin -h sha256 \
    -n uptime-report -time "$SOURCE_DATE_EPOCH" -in "$exe" -out "$exe.signed" \
    >"$work/sign.log" 2>&1 <<<"$SIGN_PASSWORD" ||
    fail "signing uptime-report.exe failed: $(cat "$work/sign.log")"
  mv "$exe.signed" "$exe"
}
# The published .exe's signature, where it has one, onto the rebuilt .exe.
# (osslsigncode checks the signature's certificate chain after attaching it
# and may call that a failure; what counts is that the bytes come out the
# same as the published ones, which the comparison tells.)
take_exe_signature() {
  local exe=$1 published=$SIGNATURES_FROM/$2 member=$3
  [[ -f $published ]] || return 0
  /usr/bin/python3 "$tools" rezip "$published" "$SOURCE_DATE_EPOCH" "$member" >"$work/published.exe"
  # (osslsigncode overwrites no file: the previous .zip's signature goes first.)
  rm -f "$work/exe.sig"
  osslsigncode extract-signature -in "$work/published.exe" -out "$work/exe.sig" >/dev/null 2>&1 ||
    return 0
  osslsigncode attach-signature -sigin "$work/exe.sig" -in "$exe" -out "$exe.signed" >/dev/null 2>&1 || true
  [[ -f $exe.signed ]] && mv "$exe.signed" "$exe"
  return 0
}
take_rpm_signature() {
  local published=$SIGNATURES_FROM/$(basename "$1")
  [[ -f $published ]] && /usr/bin/python3 "$tools" transplant-rpm-signature "$published" "$1"
  return 0
}
sign_rpm() {
  rpmsign --addsign --define "__gpg /usr/bin/gpg" --define "_gpg_name $gpg_fingerprint" \
    --define "_gpg_sign_cmd_extra_args ${gpg_sign[*]:1}" "$1" >"$work/sign.log" 2>&1 ||
    fail "signing $(basename "$1") failed: $(cat "$work/sign.log")"
}

echo "Releasing $commit (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
if [[ -e $root/.git ]]; then
  /usr/bin/python3 "$tools" export "$root" "$commit" "$src"
else
  # The unpacked archive, less what a build or this release put beside it.
  (cd "$root" && tar --exclude=./build --exclude=./RELEASE-INFO --exclude="./$(realpath -m --relative-to=. "$stage")" \
    --exclude="./$(realpath -m --relative-to=. "$out")" -cf - .) | tar -xf - -C "$src"
fi
printf 'Commit: %s\nSource-Date-Epoch: %s\n' "$commit" "$SOURCE_DATE_EPOCH" >"$src/RELEASE-INFO"
if [[ -n ${RELEASE_URL:-} ]]; then echo "Release-Url: $RELEASE_URL" >>"$src/RELEASE-INFO"; fi

# Every release build the project has a preset for: the visible configure
# presets that inherit "release", Windows first, so that a signing failure
# stops the release early.
mapfile -t presets < <(/usr/bin/python3 - "$src/CMakePresets.json" <<'PY'
import json, sys
presets = {p["name"]: p for p in json.load(open(sys.argv[1]))["configurePresets"]}
def parents(p):
    inherits = p.get("inherits", [])
    return [inherits] if isinstance(inherits, str) else inherits
def is_release(name):
    return name == "release" or any(is_release(n) for n in parents(presets[name]))
names = [n for n, p in presets.items() if not p.get("hidden") and is_release(n)]
print(*sorted(names, key=lambda n: not n.startswith("windows")), sep="\n")
PY
)

: >"$work/manifest"
for preset in "${presets[@]}"; do
  echo "  building $preset"
  build=$src/build/$preset
  step "configuring $preset" cmake -S "$src" --preset "$preset" -DBUILD_TESTING=OFF
  step "building $preset" cmake --build "$build"
  step "packaging $preset" cpack --config "$build/CPackConfig.cmake" -B "$work/packages/$preset"
  cp "$build/notices/components.json" "$work/components-$preset.json"
  for package in "$work/packages/$preset"/*.{deb,rpm,tar.gz,zip}; do
    [[ -e $package ]] || continue
    case $package in
      *.tar.gz) repack_tgz "$package" ;;
      *.rpm)
        if [[ -n ${SIGN_GPG_KEY:-} ]]; then sign_rpm "$package"; fi
        if [[ -n ${SIGNATURES_FROM:-} ]]; then take_rpm_signature "$package"; fi
        ;;
      *.zip)
        exe=$(basename "$package" .zip)/uptime-report.exe
        /usr/bin/python3 "$tools" rezip "$package" "$SOURCE_DATE_EPOCH" "$exe" >"$work/uptime-report.exe"
        if [[ -n ${SIGN_PKCS12:-} ]]; then sign_exe "$work/uptime-report.exe"; fi
        if [[ -n ${SIGNATURES_FROM:-} ]]; then
          take_exe_signature "$work/uptime-report.exe" "$(basename "$package")" "$exe"
        fi
        /usr/bin/python3 "$tools" rezip "$package" "$SOURCE_DATE_EPOCH" "$exe" "$work/uptime-report.exe"
        ;;
    esac
    mv "$package" "$artifacts/"
    printf '%s\t%s\n' "$(basename "$package")" "$work/components-$preset.json" >>"$work/manifest"
  done
done
[[ -n ${SIGN_PKCS12:-}${SIGNATURES_FROM:-} ]] ||
  echo "  the uptime-report.exe files are unsigned: set SIGN_PKCS12 and SIGN_PASSWORD to sign them"

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[[ -n $version ]] || fail "no version in the CPack configuration"
name=uptime-report-$version
source_archive=$name-source.tar.gz
rm -rf "$src/build"
tar_sorted --transform="s,^\\.,$name," -cf - -C "$src" . | gzip -9n >"$artifacts/$source_archive"
printf '%s\t-\n' "$source_archive" >>"$work/manifest"

# The winget and Scoop manifests, for the .zip files as published.
if [[ -n ${RELEASE_URL:-} ]]; then
  echo '[]' >"$work/no-components.json"
  /usr/bin/python3 "$tools" manifests "$artifacts" "$version" "$RELEASE_URL" |
    while read -r manifest; do printf '%s\t%s\n' "$manifest" "$work/no-components.json"; done >>"$work/manifest"
else
  echo "  made no winget or Scoop manifests: set RELEASE_URL to where the files will be published"
fi

# What each artifact is made of, as SPDX.
/usr/bin/python3 "$tools" spdx "$artifacts" "$work/manifest" uptime-report "$version" "$commit" \
  "$SOURCE_DATE_EPOCH" >"$artifacts/$name.spdx.json"

# How the artifacts were built, as Debian's .buildinfo records it: the exact
# version of every installed package that can change their bytes.
{
  echo "Format: 1.0"
  echo "Source: uptime-report"
  echo "Version: $version"
  echo "Commit: $commit"
  echo "Source-Date-Epoch: $SOURCE_DATE_EPOCH"
  echo "Build-Architecture: $(dpkg --print-architecture)"
  echo "Checksums-Sha256:"
  (cd "$artifacts" && for file in *; do
    [[ $file == BUILDINFO ]] || echo " $(sha256sum "$file" | cut -d' ' -f1) $(stat -c %s "$file") $file"
  done)
  echo "Installed-Build-Depends:"
  dpkg-query -W -f '${db:Status-Abbrev} ${binary:Package} (= ${Version})\n' |
    awk '$1 == "ii" { $1 = ""; print }' |
    grep -E '^ (binutils[^ ]*|cmake|cmake-data|ninja-build|dpkg|dpkg-dev|rpm|rpm-common|librpm[^ ]*|tar|gzip|xz-utils|python3|python3\.[0-9]+|python3(\.[0-9]+)?-minimal|(g\+\+|gcc|cpp)(-[0-9]+)?(-[^ ]*)?|lib(gcc|stdc\+\+)-[0-9]+-dev[^ ]*|musl-dev(:[^ ]*)?|mingw-w64[^ ]*|clang-[0-9]+|lld-[0-9]+|llvm-[0-9]+(-[^ ]*)?|libllvm[0-9]+|libclang[^ ]*|osslsigncode|gnupg|gpg|gpg-agent) ' |
    LC_ALL=C sort | sed 's/$/,/; $ s/,$//'
} >"$artifacts/BUILDINFO"

(cd "$artifacts" && sha256sum -- * >SHA256SUMS)
if [[ -n ${SIGN_GPG_KEY:-} ]]; then
  "${gpg_sign[@]}" --local-user "$gpg_fingerprint" --armor --detach-sign \
    -o "$artifacts/SHA256SUMS.asc" "$artifacts/SHA256SUMS" >"$work/gpg.log" 2>&1 ||
    fail "signing SHA256SUMS failed: $(cat "$work/gpg.log")"
elif [[ -z ${SIGNATURES_FROM:-} ]]; then
  echo "  SHA256SUMS is unsigned: set SIGN_GPG_KEY to sign it"
fi

chmod 755 "$artifacts" && chmod 644 "$artifacts"/*
if [[ -d $out ]]; then
  mv "$artifacts"/* "$out/"
else
  mv "$artifacts" "$out"
fi
echo "Made in $out:"
(cd "$out" && stat -c '  %9s  %n' -- *)
