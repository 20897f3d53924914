#!/usr/bin/env bash
# Checks a downloaded release and rebuilds it, with this checkout's own
# scripts, in a sandbox.
#
# Usage: scripts/verify-release.sh [--allow-incomplete] DIR [KEY]
#   DIR  the folder holding the release's files
#   KEY  the project's OpenPGP public key (a file, armoured or binary): it
#        must sign SHA256SUMS (SHA256SUMS.asc) and the .rpm packages
#   --allow-incomplete  exit 0 when nothing failed though something was not
#        established (no KEY, or the commit not in this checkout)
# Environment:
#   VERIFY_CA_FILE  certificates to trust for the .exe's Authenticode
#                   signature, besides this machine's
#
# In order: every file in DIR against SHA256SUMS, and SHA256SUMS against
# KEY; the .exe's and the .rpm packages' signatures; the source archive
# against the commit that RELEASE-INFO, BUILDINFO and the SPDX document
# name, file by file, where this script's git checkout holds that commit.
# Then the release is rebuilt from the source archive by the release.sh
# beside this script (never the archive's own scripts: check out the
# release's commit to verify it, since a later release.sh may not rebuild an
# older release identically), with the release's signatures taken over, and
# every artifact is compared byte for byte. BUILDINFO is compared field by
# field: packages at other versions than the release's are noted, not failed.
#
# The rebuild runs under bubblewrap: no network, no caller's file (only
# /usr, /etc and dpkg's database, read-only, and one work folder), a new
# /tmp, /proc and /dev, every namespace its own, as an unprivileged user
# (nobody when run as root) with no capabilities, stopped with this script.
# The published files are not inside; only their signatures are.
#
# The last line says what was established; the exit status agrees with it:
#   0  VERIFIED: SHA256SUMS is signed by KEY, the source archive is the
#      commit's, and every artifact is rebuilt identical
#   1  NOT VERIFIED: a check failed
#   2  nothing was judged: a usage or set-up error (no tool, no temporary
#      folder, a KEY that does not import, a sandbox that does not start)
#   3  INCOMPLETE: nothing failed, but the signature or the source was not
#      checked (0 with --allow-incomplete)
set -uo pipefail
shopt -s nullglob dotglob
# What this script writes is its own, except the sandbox's folders.
umask 077

usage="usage: scripts/verify-release.sh [--allow-incomplete] DIR [KEY]"
refuse() { echo "verify-release: $*" >&2; exit 2; }

allow_incomplete=0
case ${1:-} in
  -h | --help) sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "${BASH_SOURCE[0]}"; exit 0 ;;
  --allow-incomplete) allow_incomplete=1; shift ;;
esac
(($# == 1 || $# == 2)) && [[ -n $1 && $1 != -* && ${2:-x} != -* ]] || refuse "$usage"
[[ -d $1 ]] || refuse "$1 is not a folder"
dir=$(realpath -e -- "$1") || refuse "cannot resolve $1"
key=
if (($# == 2)); then
  [[ -f $2 && -r $2 ]] || refuse "cannot read KEY: $2"
  key=$(realpath -e -- "$2") || refuse "cannot resolve $2"
fi
here=$(dirname "$(realpath "${BASH_SOURCE[0]}")")
tools=$here/release_tools.py
for file in "$here/release.sh" "$tools"; do
  [[ -f $file ]] || refuse "$file is missing: this script rebuilds with the release.sh beside it"
done
for tool in bwrap sha256sum gpg gpgv rpmkeys osslsigncode unzip tar git /usr/bin/python3; do
  command -v "$tool" >/dev/null || refuse "$tool is missing (bash scripts/setup.sh test installs it)"
done
((EUID != 0)) || command -v setpriv >/dev/null || refuse "setpriv is missing (apt-get install util-linux)"

# Clean-up is armed before the work folder exists; it stops the sandbox
# first, and removes the folder whatever the rebuild left in it.
work= box_pid=
cleanup() {
  if [[ -n $box_pid ]]; then
    kill -TERM "$box_pid" 2>/dev/null
    wait "$box_pid" 2>/dev/null
  fi
  if [[ -n $work ]]; then
    [[ -d $work/gnupg ]] && GNUPGHOME=$work/gnupg gpgconf --kill all 2>/dev/null
    chmod -R u+rwX "$work" 2>/dev/null
    rm -rf "$work"
  fi
  return 0
}
trap cleanup EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
trap 'exit 129' HUP
# An absolute path: rpmkeys and bubblewrap take no relative one (TMPDIR=tmp).
work=$(mktemp -d -p "$(realpath -m -- "${TMPDIR:-/tmp}")" 2>&1) && [[ -d $work ]] ||
  { reason=$work; work=; refuse "cannot make a temporary folder (TMPDIR=${TMPDIR:-/tmp}): $reason"; }
box=$work/box
mkdir "$box" "$box/home" "$box/signatures" || refuse "cannot write in $work"
# As root the rebuild runs as nobody, who must reach the box through the
# work folder, and nothing else in it.
((EUID != 0)) || chmod 711 "$work" || refuse "cannot open $work to the sandbox"

failures=0 missing=()
pass() { echo "  ok    $*"; }
flag() { echo "  FAIL  $*"; failures=$((failures + 1)); }
note() { echo "  note  $*"; }
indent() { sed 's/^/        /' "$@"; }
finish() {
  if ((failures)); then
    echo "NOT VERIFIED: $failures check(s) failed"
    exit 1
  fi
  if ((${#missing[@]})); then
    local what
    what=$(printf '; %s' "${missing[@]}")
    echo "INCOMPLETE: every artifact is rebuilt identical, but not established: ${what:2}"
    ((allow_incomplete)) && exit 0
    exit 3
  fi
  echo "VERIFIED: SHA256SUMS is signed by KEY, the source archive is commit $commit's, and every artifact is rebuilt identical"
  exit 0
}

# The key is read once, armoured or binary, into a keyring for gpgv and an
# rpm database for rpmkeys; a key that does not import stops everything.
if [[ -n $key ]]; then
  export GNUPGHOME=$work/gnupg
  mkdir -m 700 "$GNUPGHOME" || refuse "cannot write in $work"
  gpg --batch --import "$key" >"$work/import.log" 2>&1 &&
    gpg --batch --export >"$work/key.gpg" 2>>"$work/import.log" && [[ -s $work/key.gpg ]] &&
    gpg --batch --armor --export >"$work/key.asc" 2>>"$work/import.log" ||
    refuse "KEY ($key) does not import as an OpenPGP public key: $(cat "$work/import.log")"
  mkdir "$work/rpmdb" &&
    rpmkeys --dbpath "$work/rpmdb" --import "$work/key.asc" >"$work/import.log" 2>&1 ||
    refuse "rpmkeys cannot import KEY ($key): $(cat "$work/import.log")"
fi

# Runs "$@" in the sandbox, with the box at /build and the trusted scripts
# at /release/scripts; as root, as nobody.
sandbox() {
  local as=() root_links=() entry
  ((EUID == 0)) && as=(setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all)
  for entry in /bin /sbin /lib /lib32 /lib64 /libx32; do
    if [[ -L $entry ]]; then
      root_links+=(--symlink "$(readlink "$entry")" "$entry")
    elif [[ -d $entry ]]; then
      root_links+=(--ro-bind "$entry" "$entry")
    fi
  done
  "${as[@]}" bwrap --unshare-all --die-with-parent --new-session --cap-drop ALL \
    --ro-bind /usr /usr "${root_links[@]}" --ro-bind /etc /etc \
    --ro-bind /var/lib/dpkg /var/lib/dpkg --tmpfs /var/tmp \
    --proc /proc --dev /dev --tmpfs /tmp \
    --bind "$box" /build --ro-bind "$work/trusted" /release/scripts --chdir /build \
    --clearenv --setenv PATH /usr/bin:/bin --setenv HOME /build/home --setenv LC_ALL C \
    -- "$@" &
  box_pid=$!
  wait "$box_pid"
  local status=$?
  box_pid=
  return "$status"
}
mkdir "$work/trusted" && cp "$here/release.sh" "$tools" "$work/trusted/" &&
  chmod -R a+rX "$work/trusted" || refuse "cannot copy the release scripts into $work"
# The box stays root's until the rebuild: the signatures are written into
# it first, and a symbolic link that another process of nobody's put there
# would have root write elsewhere. Entering it is all the test takes.
((EUID != 0)) || chmod 711 "$box" || refuse "cannot open $box to the sandbox"
sandbox true >"$work/sandbox.log" 2>&1 ||
  refuse "the sandbox does not start (bubblewrap needs user namespaces, and as root, a TMPDIR that the user nobody can pass through, such as /tmp): $(cat "$work/sandbox.log")"

echo "Checksums"
[[ -f $dir/SHA256SUMS ]] || { flag "no SHA256SUMS in $dir"; finish; }
if [[ -z $key ]]; then
  note "no KEY given: SHA256SUMS is not authenticated (it proves nothing against whoever could replace the files)"
  missing+=("SHA256SUMS's signature (no KEY given)")
elif [[ ! -f $dir/SHA256SUMS.asc ]]; then
  flag "no SHA256SUMS.asc: the checksums carry no signature"
elif ! gpgv --status-fd 3 --keyring "$work/key.gpg" "$dir/SHA256SUMS.asc" "$dir/SHA256SUMS" \
  >"$work/gpgv.log" 2>&1 3>"$work/gpgv.status"; then
  flag "SHA256SUMS.asc is not a good signature by KEY over SHA256SUMS:"$'\n'"$(indent "$work/gpgv.log")"
elif grep -qE '^\[GNUPG:\] (REVKEYSIG|EXPKEYSIG) ' "$work/gpgv.status"; then
  # gpgv accepts these; but a release is signed at a time its signer
  # chooses, so a signature dated before the revocation or expiry proves
  # nothing.
  flag "SHA256SUMS.asc is signed by a key of KEY that is revoked or expired:"$'\n'"$(indent "$work/gpgv.log")"
elif grep -q '^\[GNUPG:\] GOODSIG ' "$work/gpgv.status"; then
  pass "SHA256SUMS is signed by $(sed -n 's/.*Good signature from //p;T;q' "$work/gpgv.log")"
else
  flag "SHA256SUMS.asc is not a good signature by KEY over SHA256SUMS:"$'\n'"$(indent "$work/gpgv.log")"
fi
declare -A listed=()
while read -r digest name; do
  # A name is a file in DIR: no folder, nothing that sha256sum reads elsewhere.
  if [[ ! $digest =~ ^[0-9a-f]{64}$ || $name == */* || $name == -* || -z $name ]]; then
    flag "SHA256SUMS has a line that is not a digest and a file name in DIR: $digest $name"
    continue
  fi
  listed[$name]=1
done <"$dir/SHA256SUMS"
# Every entry must be a plain file before any is read: a fifo would block
# sha256sum, and a symbolic link lead it elsewhere (/dev/zero).
for file in "$dir"/*; do
  name=${file##*/}
  if [[ ! -f $file || -L $file ]]; then
    flag "$name is not a plain file"
  elif [[ -z ${listed[$name]:-} && $name != SHA256SUMS && $name != SHA256SUMS.asc ]]; then
    flag "$name is not in SHA256SUMS"
  fi
done
((failures == 0)) || finish
if (cd "$dir" && sha256sum --strict -c SHA256SUMS) >"$work/sums.log" 2>&1; then
  pass "every file listed matches SHA256SUMS"
else
  flag "files do not match SHA256SUMS:"$'\n'"$(grep -v ': OK$' "$work/sums.log" | indent)"
fi
# Nothing else can be trusted without authentic checksums.
((failures == 0)) || finish
mapfile -t artifacts < <(printf '%s\n' "${!listed[@]}" | LC_ALL=C sort)

echo "Signatures"
# Each signature is also kept for the rebuild, which takes it over.
for zip in "$dir"/*.zip; do
  name=${zip##*/}
  # A .zip holds one small program: one that unpacks to more would fill
  # the work folder (a gigabyte of zeros packs into a megabyte).
  unpacked=$(unzip -Zt "$zip" 2>/dev/null | awk '{ print $3 }')
  if [[ ! $unpacked =~ ^[0-9]+$ ]] || ((unpacked > 256 << 20)); then
    flag "$name cannot be read as a .zip, or unpacks to more than 256 MiB"
    continue
  fi
  mkdir "$work/zip" && unzip -q "$zip" '*.exe' -d "$work/zip" 2>"$work/unzip.log" ||
    { flag "cannot unzip $name: $(cat "$work/unzip.log")"; rm -rf "$work/zip"; continue; }
  for exe in "$work"/zip/*/*.exe "$work"/zip/*.exe; do
    ca=()
    [[ -n ${VERIFY_CA_FILE:-} ]] && ca=(-CAfile "$VERIFY_CA_FILE")
    osslsigncode verify -in "$exe" "${ca[@]}" >"$work/authenticode.log" 2>&1
    status=$?
    if grep -q "Unable to extract existing signature\|No signature found" "$work/authenticode.log"; then
      note "$name/${exe##*/} carries no Authenticode signature"
      continue
    elif ((status == 0)); then
      pass "$name/${exe##*/}: Authenticode signature verified ($(sed -n 's/^\t*Subject: //p;T;q' "$work/authenticode.log"))"
    else
      flag "$name/${exe##*/}: Authenticode signature does not verify (set VERIFY_CA_FILE to trust its certificate):"$'\n'"$(grep -iE 'digest|error|verif' "$work/authenticode.log" | indent)"
    fi
    osslsigncode extract-signature -in "$exe" -out "$box/signatures/$name.sig" >"$work/extract.log" 2>&1 ||
      flag "cannot take the signature out of $name/${exe##*/}: $(cat "$work/extract.log")"
  done
  rm -rf "$work/zip"
done
for rpm in "$dir"/*.rpm; do
  name=${rpm##*/}
  /usr/bin/python3 "$tools" rpm-signature "$rpm" >"$box/signatures/$name.sig" 2>"$work/rpm.log" ||
    { flag "$name: $(cat "$work/rpm.log")"; continue; }
  if [[ -z $key ]]; then
    note "$name: its signature was not checked (no KEY given)"
    continue
  fi
  rpmkeys --dbpath "$work/rpmdb" --checksig "$rpm" >"$work/rpm.log" 2>&1
  checked=$(<"$work/rpm.log")
  case $checked in
    *"NOT OK"* | *"not OK"*) flag "$name: $checked" ;;
    *"signatures OK"*) pass "$name is signed by KEY" ;;
    *) note "$name carries no signature: $checked" ;;
  esac
done

echo "Source"
source_archive=
for name in "${artifacts[@]}"; do
  [[ $name == *-source.tar.gz ]] && source_archive=$name
done
spdx=("$dir"/*.spdx.json)
[[ -n $source_archive && -f $dir/BUILDINFO && ${#spdx[@]} == 1 ]] ||
  { flag "the release lacks a source archive, BUILDINFO or its one SPDX document"; finish; }
if ! commit=$(/usr/bin/python3 "$tools" check-archive "$dir/$source_archive" "$dir/BUILDINFO" \
  "${spdx[0]}" 2>"$work/source.log"); then
  flag "$source_archive: $(cat "$work/source.log")"
  finish
fi
pass "RELEASE-INFO, BUILDINFO and the SPDX document name commit $commit"
checkout=$(dirname "$here")
if git -C "$checkout" cat-file -e "$commit^{commit}" 2>/dev/null; then
  if /usr/bin/python3 "$tools" compare-source "$dir/$source_archive" "$checkout" "$commit" \
    >"$work/source.log" 2>&1; then
    pass "$source_archive holds exactly commit $commit's files"
  else
    flag "$source_archive is not commit $commit's source:"$'\n'"$(indent "$work/source.log")"
    # A source archive that is not the commit's is not rebuilt.
    finish
  fi
else
  note "the source was not checked against the repository: commit $commit is not in $checkout"
  missing+=("that the source archive is commit $commit's (the commit is not in $checkout)")
fi

echo "Rebuild"
cp "$dir/$source_archive" "$box/source.tar.gz" && mkdir "$box/source" ||
  refuse "cannot copy $source_archive into $work"
((EUID != 0)) || chown -R 65534:65534 "$box" || refuse "cannot hand $box to nobody"
echo "  rebuilding $source_archive with $here/release.sh, in a sandbox (a few minutes)"
# The rebuild takes its SOURCE_DATE_EPOCH from the archive and its
# signatures from the release, nothing from the caller.
if ! sandbox sh -c 'tar -xzf source.tar.gz -C source && set -- source/* &&
  RELEASE_SOURCE=$1 SIGNATURES_FROM=/build/signatures bash /release/scripts/release.sh /build/rebuild' \
  >"$work/rebuild.log" 2>&1; then
  flag "the rebuild failed:"$'\n'"$(tail -n 30 "$work/rebuild.log" | indent)"
  finish
fi
rebuilt=$box/rebuild
# The rebuild's folder is the sandbox's work: a symbolic link there would
# lead this script, outside the sandbox, to compare other files.
if [[ ! -d $rebuilt || -L $rebuilt || ! -f $rebuilt/SHA256SUMS || -L $rebuilt/SHA256SUMS ]]; then
  flag "the rebuild made no folder of plain files with its SHA256SUMS"
  finish
fi
for name in "${artifacts[@]}"; do
  [[ $name == BUILDINFO ]] && continue
  if [[ ! -f $rebuilt/$name || -L $rebuilt/$name ]]; then
    flag "$name is not made by the rebuild"
  elif cmp -s "$dir/$name" "$rebuilt/$name"; then
    pass "$name is identical"
  else
    flag "$name differs from its rebuild:"
    if command -v diffoscope >/dev/null; then
      diffoscope "$dir/$name" "$rebuilt/$name" >"$work/diff.log" 2>&1
    else
      cmp "$dir/$name" "$rebuilt/$name" >"$work/diff.log" 2>&1
    fi
    head -n 40 "$work/diff.log" | indent
  fi
done
# BUILDINFO and SHA256SUMS tell how the release was built, which may be on
# another machine: its packages are compared as notes, the rest exactly.
if [[ -f $rebuilt/BUILDINFO && ! -L $rebuilt/BUILDINFO ]]; then
  /usr/bin/python3 "$tools" compare-buildinfo "$dir/BUILDINFO" "$rebuilt/BUILDINFO" >"$work/buildinfo.log" 2>&1
  status=$?
  while read -r kind line; do
    if [[ $kind == fail ]]; then flag "$line"; else note "$line"; fi
  done <"$work/buildinfo.log"
  ((status == 0)) && pass "BUILDINFO's fields match, the installed packages aside"
  ((status > 1)) && flag "BUILDINFO cannot be compared: $(cat "$work/buildinfo.log")"
else
  flag "BUILDINFO is not made by the rebuild"
fi
grep -v '  BUILDINFO$' "$dir/SHA256SUMS" >"$work/sums.published"
grep -v '  BUILDINFO$' "$rebuilt/SHA256SUMS" >"$work/sums.rebuilt" 2>/dev/null
if cmp -s "$work/sums.published" "$work/sums.rebuilt"; then
  pass "SHA256SUMS lists the same artifacts with the same sums"
else
  flag "SHA256SUMS's artifacts differ from the rebuild's:"$'\n'"$(diff "$work/sums.published" "$work/sums.rebuilt" | indent)"
fi
finish
