#!/usr/bin/env bash
# Checks a downloaded release and rebuilds it from its own source archive.
#
# Usage: scripts/verify-release.sh DIR [KEY]
#   DIR  the folder holding the release's files
#   KEY  the project's OpenPGP public key (a file): checks SHA256SUMS.asc
# Environment:
#   VERIFY_CA_FILE  certificates to trust for the .exe's Authenticode
#                   signature, besides this machine's
#
# In order: SHA256SUMS and its signature; the .exe's and the .rpm packages'
# signatures; BUILDINFO's toolchain against this machine's; then a rebuild
# from the source archive, unpacked in a temporary folder, with the release's
# signatures taken over, and every artifact compared byte for byte
# (diffoscope shows where one differs). Exit status 0 only when all holds.
set -uo pipefail

usage="usage: scripts/verify-release.sh DIR [KEY]"
case ${1:-} in -h | --help) echo "$usage"; exit 0 ;; esac
(($# == 1 || $# == 2)) || { echo "$usage" >&2; exit 2; }
dir=$(realpath -e -- "$1") || exit 2
key=
if (($# == 2)); then key=$(realpath -e -- "$2") || exit 2; fi
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
pass() { echo "  ok    $*"; }
flag() { echo "  FAIL  $*"; failures=$((failures + 1)); }
note() { echo "  note  $*"; }
finish() {
  if ((failures)); then echo "NOT VERIFIED: $failures check(s) failed"; exit 1; fi
  echo "VERIFIED: every artifact is rebuilt identical from the source archive"
  exit 0
}

echo "Checksums"
[[ -f $dir/SHA256SUMS ]] || { flag "no SHA256SUMS in $dir"; finish; }
if sums=$(cd "$dir" && sha256sum --strict -c SHA256SUMS 2>&1); then
  pass "every file matches SHA256SUMS"
else
  flag "files do not match SHA256SUMS:"$'\n'"$(grep -v ': OK$' <<<"$sums" | sed 's/^/        /')"
fi
mapfile -t artifacts < <(sed -n 's/^[0-9a-f]\{64\}  //p' "$dir/SHA256SUMS")
for file in "$dir"/*; do
  name=$(basename "$file")
  [[ $name == SHA256SUMS || $name == SHA256SUMS.asc ]] && continue
  printf '%s\n' "${artifacts[@]}" | grep -qxF -- "$name" || flag "$name is not in SHA256SUMS"
done

if [[ -n $key ]]; then
  export GNUPGHOME=$work/gnupg
  mkdir -m 700 "$GNUPGHOME"
  gpg --batch --dearmor <"$key" >"$work/key.gpg" 2>/dev/null || cp "$key" "$work/key.gpg"
  if [[ ! -f $dir/SHA256SUMS.asc ]]; then
    flag "no SHA256SUMS.asc: the checksums carry no signature"
  elif gpgv --keyring "$work/key.gpg" "$dir/SHA256SUMS.asc" "$dir/SHA256SUMS" >"$work/gpgv.log" 2>&1; then
    pass "SHA256SUMS is signed by $(sed -n 's/.*Good signature from //p' "$work/gpgv.log" | head -n 1)"
  else
    flag "SHA256SUMS.asc is not a good signature by KEY over SHA256SUMS:"$'\n'"$(sed 's/^/        /' "$work/gpgv.log")"
  fi
else
  note "no KEY given: SHA256SUMS is unauthenticated (it proves nothing against whoever could replace the files)"
fi
# Nothing else can be trusted without authentic checksums.
((failures == 0)) || finish

echo "Signatures"
for zip in "$dir"/*.zip; do
  [[ -e $zip ]] || continue
  # Each .zip into a folder of its own: one .exe per .zip, and per name.
  unpacked=$work/zip/$(basename "$zip" .zip)
  mkdir -p "$unpacked"
  unzip -q -o "$zip" '*.exe' -d "$unpacked" || { flag "cannot unzip $(basename "$zip")"; continue; }
  for exe in "$unpacked"/*/*.exe; do
    name=$(basename "$zip")/$(basename "$exe")
    ca=()
    [[ -n ${VERIFY_CA_FILE:-} ]] && ca=(-CAfile "$VERIFY_CA_FILE")
    osslsigncode verify -in "$exe" "${ca[@]}" >"$work/authenticode.log" 2>&1
    status=$?
    if grep -q "Unable to extract existing signature\|No signature found" "$work/authenticode.log"; then
      note "$name carries no Authenticode signature"
    elif ((status == 0)); then
      pass "$name: Authenticode signature verified ($(sed -n 's/^\t*Subject: //p' "$work/authenticode.log" | head -n 1))"
    else
      flag "$name: Authenticode signature does not verify (set VERIFY_CA_FILE to trust its certificate):"$'\n'"$(grep -iE 'digest|error|verif' "$work/authenticode.log" | sed 's/^/        /')"
    fi
  done
done
for rpm in "$dir"/*.rpm; do
  [[ -e $rpm && -n $key ]] || continue
  if [[ ! -d $work/rpmdb ]]; then
    mkdir "$work/rpmdb"
    rpmkeys --dbpath "$work/rpmdb" --import "$key" >/dev/null 2>&1
  fi
  checked=$(rpmkeys --dbpath "$work/rpmdb" --checksig "$rpm" 2>&1)
  case $checked in
    *"NOT OK"*) flag "$(basename "$rpm"): $checked" ;;
    *"signatures OK"*) pass "$(basename "$rpm") is signed by KEY" ;;
    *) note "$(basename "$rpm") carries no signature: $checked" ;;
  esac
done

echo "Toolchain"
source_archive=$(printf '%s\n' "${artifacts[@]}" | grep -- '-source\.tar\.gz$' | head -n 1)
[[ -n $source_archive && -f $dir/BUILDINFO ]] || { flag "no source archive or BUILDINFO in the release"; finish; }
differences=0
while read -r package version; do
  here_version=$(dpkg-query -W -f '${db:Status-Abbrev}${Version}' "$package" 2>/dev/null | sed -n 's/^ii *//p')
  if [[ -z $here_version ]]; then
    note "$package $version: not installed here"
  elif [[ $here_version != "$version" ]]; then
    note "$package: $version in the release, $here_version here"
  else
    continue
  fi
  differences=$((differences + 1))
done < <(sed -n '/^Installed-Build-Depends:/,/^[^ ]/ s/^ \([^ ]*\) (= \([^)]*\)),\?$/\1 \2/p' "$dir/BUILDINFO")
((differences == 0)) && pass "this machine has every package that BUILDINFO records, at the same version" ||
  note "$differences package(s) differ from BUILDINFO's; artifacts may differ because of them"

echo "Rebuild"
mkdir "$work/source"
tar -xzf "$dir/$source_archive" -C "$work/source" || { flag "cannot unpack $source_archive"; finish; }
tree=$(echo "$work"/source/*)
echo "  rebuilding from $source_archive (a few minutes)"
# The rebuild takes its SOURCE_DATE_EPOCH from the archive and its
# signatures from the release, nothing from the caller.
if ! env -u SOURCE_DATE_EPOCH -u SIGN_PKCS12 -u SIGN_PASSWORD -u SIGN_GPG_KEY \
  -u SIGN_GPG_PASSPHRASE SIGNATURES_FROM="$dir" \
  bash "$tree/scripts/release.sh" "$work/rebuild" >"$work/rebuild.log" 2>&1; then
  flag "the rebuild failed:"$'\n'"$(tail -n 30 "$work/rebuild.log" | sed 's/^/        /')"
  finish
fi
for name in "${artifacts[@]}" SHA256SUMS; do
  if cmp -s "$dir/$name" "$work/rebuild/$name"; then
    pass "$name is identical"
  elif [[ ! -e $work/rebuild/$name ]]; then
    flag "$name is not made by the rebuild"
  else
    flag "$name differs from its rebuild:"
    if command -v diffoscope >/dev/null; then
      diffoscope "$dir/$name" "$work/rebuild/$name" 2>&1 | head -n 40 | sed 's/^/        /'
    else
      cmp "$dir/$name" "$work/rebuild/$name" | sed 's/^/        /'
    fi
  fi
done
finish
