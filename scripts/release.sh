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
# same bytes. DIR and the source folder must be plain paths (ASCII letters,
# digits and ._/+,:=@%~-): rpmbuild cannot take a space, and CPack fails on
# other characters under the release's C locale.
#
# Environment (nothing else of the caller's reaches the build):
#   SOURCE_DATE_EPOCH  every timestamp in the artifacts (default: the
#                      commit's, or RELEASE-INFO's)
#   SIGN_PKCS12, SIGN_PASSWORD  a .p12/.pfx file and its password: sign
#                      uptime-report.exe with Authenticode (osslsigncode)
#   SIGN_GPG_KEY, SIGN_GPG_PASSPHRASE  an exported OpenPGP secret key and its
#                      passphrase, if it has one: sign SHA256SUMS
#                      (SHA256SUMS.asc) and the .rpm packages
#   RELEASE_SOURCE     an unpacked source archive to release instead of this
#                      script's own source folder: scripts/verify-release.sh
#                      rebuilds a downloaded release with its own, trusted
#                      copy of this script
#   SIGNATURES_FROM    a folder of the signatures of a published release of
#                      the same commit, one per signed artifact:
#                      NAME.zip.sig (the Authenticode signature of the .exe
#                      in NAME.zip) and NAME.rpm.sig (the .rpm's lead and
#                      signature header). Instead of signing, they are taken
#                      onto the rebuilt artifacts, so that a rebuild without
#                      the keys can be compared byte for byte
#                      (scripts/verify-release.sh writes them)
#   RELEASE_URL        where the release's files will be published: write the
#                      winget and Scoop manifests for the Windows .zip files,
#                      which point there (recorded in RELEASE-INFO, so that a
#                      rebuild from the source archive writes them again)
set -euo pipefail

usage="usage: [RELEASE_SOURCE=TREE] scripts/release.sh DIR   (DIR: a new or empty folder; TREE: an unpacked source archive; --help for the rest)"
fail() { echo "release: $*" >&2; exit 1; }

# Nothing of the caller's environment reaches the artifacts: the script runs
# again with only what it needs, a fixed PATH, no HOME until it makes an
# empty one of its own (no ~/.gitconfig, ~/.rpmmacros, ...), and its own
# umask, locale and time zone. Compiler and linker flags, git's and CMake's
# variables are all left behind, except the caller's safe.directory
# settings, which let git read a checkout that another user owns.
if [[ -z ${RELEASE_CLEAN_ENVIRONMENT:-} ]]; then
  keep=()
  for name in SOURCE_DATE_EPOCH SIGN_PKCS12 SIGN_PASSWORD SIGN_GPG_KEY SIGN_GPG_PASSPHRASE \
    RELEASE_SOURCE SIGNATURES_FROM RELEASE_URL; do
    [[ -v $name ]] && keep+=("$name=${!name}")
  done
  safe=()
  if command -v git >/dev/null; then
    # Only where git itself honours it: not a repository's own settings.
    mapfile -t safe < <(cd / && env -u GIT_DIR -u GIT_CONFIG git config --show-scope \
      --get-all safe.directory 2>/dev/null | sed -n 's/^\(system\|global\|command\)\t//p')
  fi
  keep+=("GIT_CONFIG_COUNT=${#safe[@]}")
  for i in "${!safe[@]}"; do
    keep+=("GIT_CONFIG_KEY_$i=safe.directory" "GIT_CONFIG_VALUE_$i=${safe[i]}")
  done
  exec env -i RELEASE_CLEAN_ENVIRONMENT=1 PATH=/usr/bin:/bin:/usr/sbin:/sbin \
    GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null LC_ALL=C TZ=UTC "${keep[@]}" \
    bash "$(realpath "${BASH_SOURCE[0]}")" "$@"
fi
umask 022

case ${1:-} in
  -h | --help) sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"; exit 0 ;;
  -*) fail "$1 is not a folder name (options are not taken); $usage" ;;
esac
(($# == 1)) && [[ -n $1 ]] || fail "$usage"
out=$(realpath -m -- "$1")
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
root=$(dirname "$here")
tools=$here/release_tools.py

if [[ -n ${RELEASE_SOURCE:-} ]]; then
  [[ -f $RELEASE_SOURCE/RELEASE-INFO ]] ||
    fail "RELEASE_SOURCE ($RELEASE_SOURCE) is not an unpacked source archive: it has no RELEASE-INFO"
  root=$(realpath "$RELEASE_SOURCE")
fi
# rpmbuild cannot take a path with a space, and CPack fails on a name that is
# not ASCII under the C locale: such paths are refused before anything else.
for path in "$root" "$out"; do
  [[ $path =~ ^[A-Za-z0-9._/+,:=@%~-]+$ ]] ||
    fail "'$path' has a space or a character other than ASCII letters, digits and ._/+,:=@%~-; rpmbuild cannot build under a path with a space, nor CPack under one with other characters: use a plainer path"
done

# Where the sources come from: the checkout this script is in, or an
# unpacked source archive (RELEASE_SOURCE, or the one this script is part of).
if [[ -z ${RELEASE_SOURCE:-} && -e $root/.git ]]; then
  command -v git >/dev/null || fail "git is missing (apt-get install git), and $root is a git checkout"
  if ! top=$(git -C "$root" rev-parse --show-toplevel 2>&1); then
    [[ $top != *"dubious ownership"* ]] ||
      fail "git will not read $root, which another user owns; allow it with: git config --global --add safe.directory $root"
    fail "$root is not the top of a git work tree: $top"
  fi
  [[ $top == "$root" ]] || fail "$root is not the top of a git work tree"
  changes=$(git -C "$root" status --porcelain)
  [[ -z $changes ]] || fail "the work tree has uncommitted changes; a release is of a commit:
$changes"
  commit=$(git -C "$root" rev-parse HEAD)
  epoch=$(git -C "$root" log -1 --format=%ct)
elif [[ -f $root/RELEASE-INFO ]]; then
  commit=$(sed -n 's/^Commit: //p' "$root/RELEASE-INFO")
  epoch=$(sed -n 's/^Source-Date-Epoch: //p' "$root/RELEASE-INFO")
  [[ $commit =~ ^[0-9a-f]{40}([0-9a-f]{24})?$ ]] ||
    fail "$root/RELEASE-INFO names no commit (a line 'Commit: ' and its 40 or 64 hex digits)"
  RELEASE_URL=${RELEASE_URL:-$(sed -n 's/^Release-Url: //p' "$root/RELEASE-INFO")}
else
  fail "$root is neither a git checkout nor an unpacked source archive (no RELEASE-INFO)"
fi
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$epoch}
# A time that every format here holds faithfully: zip's dates begin on
# 1980-01-01, and the .exe's signing time is an X.509 UTCTime, which ends
# with 2049.
[[ $SOURCE_DATE_EPOCH =~ ^[1-9][0-9]{0,9}$ ]] &&
  ((SOURCE_DATE_EPOCH >= 315532800 && SOURCE_DATE_EPOCH <= 2524607999)) ||
  fail "SOURCE_DATE_EPOCH must be a whole number of seconds from 315532800 (1980-01-01, zip's first date) to 2524607999 (2049-12-31, the last year a UTCTime signing time holds), not '$SOURCE_DATE_EPOCH'"
# One address, which RELEASE-INFO keeps on one line and the manifests quote.
[[ -z ${RELEASE_URL:-} || $RELEASE_URL =~ ^https?://[A-Za-z0-9._~:/?#@!\$\&\(\)*+,\;=%-]+$ ]] ||
  fail "RELEASE_URL must be one http:// or https:// address, without blanks or quotes, not '$RELEASE_URL'"

tools_needed=(cmake cpack ninja tar gzip dpkg-deb dpkg-query rpmbuild sha256sum /usr/bin/python3)
if [[ -n ${SIGN_PKCS12:-} ]]; then
  [[ -v SIGN_PASSWORD ]] || fail "SIGN_PKCS12 is set but SIGN_PASSWORD is not (set it empty for none)"
  [[ -r $SIGN_PKCS12 ]] || fail "cannot read SIGN_PKCS12: $SIGN_PKCS12"
  SIGN_PKCS12=$(realpath "$SIGN_PKCS12")
  tools_needed+=(osslsigncode openssl)
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
# The signing certificate opens with its password before anything is built
# (OpenSSL 3 reads files with old ciphers only as "legacy").
if [[ -n ${SIGN_PKCS12:-} ]]; then
  pkcs12_opens() {
    openssl pkcs12 -in "$SIGN_PKCS12" -passin stdin -noout "$@" <<<"$SIGN_PASSWORD" >/dev/null 2>&1
  }
  pkcs12_opens || pkcs12_opens -legacy ||
    fail "SIGN_PKCS12 does not open with SIGN_PASSWORD: the password is wrong, or $SIGN_PKCS12 is not a PKCS#12 file"
fi
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
  # gpg's agent, and the socket folder it may have made under /run.
  if [[ -n ${GNUPGHOME:-} ]]; then
    gpgconf --kill all 2>/dev/null || true
    gpgconf --remove-socketdir 2>/dev/null || true
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
mkdir "$work" "$artifacts" "$src" "$work/home"
# A HOME of the release's own, empty, so that rpm's database and whatever
# else a tool keeps there stays inside the work folder.
export TMPDIR=$work HOME=$work/home

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
# The published .exe's signature, where it had one, onto the rebuilt .exe.
# (osslsigncode checks the signature's certificate chain after attaching it
# and may call that a failure; what counts is that the bytes come out the
# same as the published ones, which the comparison tells.)
take_exe_signature() {
  local exe=$1 signature=$SIGNATURES_FROM/$2.sig
  [[ -f $signature ]] || return 0
  osslsigncode attach-signature -sigin "$signature" -in "$exe" -out "$exe.signed" >/dev/null 2>&1 || true
  [[ -f $exe.signed ]] && mv "$exe.signed" "$exe"
  return 0
}
take_rpm_signature() {
  local signature=$SIGNATURES_FROM/$(basename "$1").sig
  [[ -f $signature ]] && /usr/bin/python3 "$tools" transplant-rpm-signature "$signature" "$1"
  return 0
}
sign_rpm() {
  rpmsign --addsign --define "__gpg /usr/bin/gpg" --define "_gpg_name $gpg_fingerprint" \
    --define "_gpg_sign_cmd_extra_args ${gpg_sign[*]:1}" "$1" >"$work/sign.log" 2>&1 ||
    fail "signing $(basename "$1") failed: $(cat "$work/sign.log")"
}

echo "Releasing $commit (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH)"
if [[ -z ${RELEASE_SOURCE:-} && -e $root/.git ]]; then
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
          take_exe_signature "$work/uptime-report.exe" "$(basename "$package")"
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

# How the artifacts were built: the exact version of every installed
# package that can change their bytes (release_tools.py lists them, each
# with its reason).
/usr/bin/python3 "$tools" buildinfo "$artifacts" "$version" "$commit" "$SOURCE_DATE_EPOCH" \
  >"$artifacts/BUILDINFO"

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
