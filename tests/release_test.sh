#!/usr/bin/env bash
# Checks the release program end to end. Two releases of the same commit,
# from two clones at different paths and file systems, the second under
# foreign build and git settings, umask, time zone and locale, both signed
# (Authenticode, OpenPGP) with throwaway keys, must give the same bytes. The
# release must verify, rebuilt from its source archive alone in the roots its
# BUILDINFO names, and must not once an artifact, a signature, the sums or
# BUILDINFO are tampered with, the source is not the commit's, or its build
# reaches for the network. Refusals come before anything is built and leave
# nothing behind; a machine that cannot judge says so with status 2.
# Usage: release_test.sh SOURCE_DIR VERSION_TEXT PACKAGE_VERSION MAJOR MINOR [EMULATOR...]
set -u
src=$1 version_text=$2 version=$3 major=$4 minor=$5
shift 5
emulator=("$@")
here=$(realpath "$(dirname "$0")")
work=$(mktemp -d)
# The second clone and its build go on another file system where there is
# one (tmpfs lists a folder in another order than ext4 does).
other=$(mktemp -d /dev/shm/release-test.XXXXXX 2>/dev/null || mktemp -d)
listener= small=
cleanup() {
  [[ -n $small ]] && umount -l "$small"
  [[ -n $listener ]] && kill "$listener"
  # The gpg state this test made itself: its own GNUPGHOME's agent.
  gpgconf --homedir "$work/gnupg" --kill all 2>/dev/null
  gpgconf --homedir "$work/gnupg" --remove-socketdir 2>/dev/null
  rm -rf "$work" "$other"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# The work tree as it stands, in a commit of its own made through a separate
# index, so that what is tested is what is checked out, and the real index
# and branches stay as they are.
export GIT_AUTHOR_NAME=release-test GIT_AUTHOR_EMAIL=release-test@example.invalid
export GIT_COMMITTER_NAME=release-test GIT_COMMITTER_EMAIL=release-test@example.invalid
snapshot() {
  local tree
  export GIT_INDEX_FILE=$work/index
  git -C "$src" read-tree HEAD && git -C "$src" add -A && tree=$(git -C "$src" write-tree) &&
    git -C "$src" commit-tree "$tree" -p HEAD -m "release test"
  unset GIT_INDEX_FILE
}
commit=$(snapshot) || fail "cannot commit the work tree"
commit_time=$(git -C "$src" log -1 --format=%ct "$commit")
a=$work/a/uptime-report b=$other/a/much/longer/path/uptime-report
for clone in "$a" "$b"; do
  git clone -q "$src" "$clone" && git -C "$clone" checkout -q --detach "$commit" ||
    fail "cannot clone $commit"
done

# Throwaway keys: a code-signing certificate, and OpenPGP keys made a day
# before the commit (gpg signs at the commit's time only with a key that
# existed then), one made after it, and one whose first signing subkey is
# revoked and whose second signs.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 30 -subj "/CN=uptime-report release test" -addext extendedKeyUsage=codeSigning \
  2>/dev/null &&
  openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" \
    -out "$work/signing.p12" -passout pass:throwaway || fail "cannot make a certificate"
export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
gpg_as() { gpg --batch --pinentry-mode loopback --passphrase throwaway "$@"; }
openpgp_key() {
  local name=$1 created=$2
  gpg_as --faked-system-time "$created!" --quick-gen-key "$name <$name@example.invalid>" ed25519 sign never \
    2>/dev/null && gpg_as --armor --export-secret-keys "$name" >"$work/$name.sec" 2>/dev/null &&
    gpg --batch --armor --export "$name" >"$work/$name.pub" 2>/dev/null
}
fingerprint() { gpg --batch --with-colons --list-keys "$1" 2>/dev/null | awk -F: '/^fpr/ { print $10; exit }'; }
openpgp_key release-key $((commit_time - 86400)) && openpgp_key other-key $((commit_time - 86400)) &&
  openpgp_key new-key $((commit_time + 86400)) && openpgp_key subkey-key $((commit_time - 86400)) &&
  gpg_as --quick-add-key "$(fingerprint subkey-key)" ed25519 sign never 2>/dev/null &&
  gpg_as --quick-add-key "$(fingerprint subkey-key)" ed25519 sign never 2>/dev/null &&
  printf 'key 1\nrevkey\ny\n0\n\ny\nsave\n' | gpg_as --command-fd 0 --edit-key subkey-key >/dev/null 2>&1 &&
  gpg --batch --armor --export subkey-key >"$work/subkey-key.pub" || fail "cannot make OpenPGP keys"
gpg --batch --with-colons --list-keys subkey-key | grep -q '^sub:r:' || fail "the subkey was not revoked"
unset GNUPGHOME
export SIGN_PKCS12=$work/signing.p12 SIGN_PASSWORD=throwaway
export SIGN_GPG_KEY=$work/release-key.sec SIGN_GPG_PASSPHRASE=throwaway
# Published here: the release writes its winget and Scoop manifests.
export RELEASE_URL=https://example.invalid/uptime-report/releases/$version
export PROJECT_URL=https://example.invalid/uptime-report

# Copies of the release, altered and checked by the verifier: run from the
# source repository, which holds the commit, or from a copy of the program
# (with the tables under cmake/ that it reads) outside any repository, which
# does not.
verify() { (cd "$other" && VERIFY_CA_FILE=$work/cert.pem bash "$src/scripts/verify-release.sh" "$@"); }
program_copy=$work/verifier\ copy/scripts
mkdir -p "$program_copy" "$program_copy/../cmake" &&
  cp -R "$src"/scripts/{verify-release.sh,uptime_release} "$program_copy/" &&
  cp "$src"/cmake/{architectures,debian-releases} "$program_copy/../cmake/"
verify_copy() { (cd "$other" && VERIFY_CA_FILE=$work/cert.pem bash "$program_copy/verify-release.sh" "$@"); }
# Runs a command; its exit status must be STATUS, and every PATTERN (a grep
# -E pattern) must be in what it says.
expect_verdict() {
  local status=$1 patterns=() pattern
  shift
  while [[ $1 != -- ]]; do patterns+=("$1"); shift; done
  shift
  "$@" >"$work/log" 2>&1
  (($? == status)) || fail "$* did not exit with $status: $(cat "$work/log")"
  for pattern in "${patterns[@]}"; do
    grep -qE -- "$pattern" "$work/log" || fail "no '$pattern' from $*: $(cat "$work/log")"
  done
}
# A refusal: the reason on stderr, before anything is built, no DIR, and no
# partial folder beside it.
expect_refused() {
  local reason=$1 dir=$2
  shift 2
  "$@" >"$work/log" 2>&1 && fail "released despite $reason: $(cat "$work/log")"
  grep -q -- "$reason" "$work/log" || fail "no '$reason' in: $(cat "$work/log")"
  grep -q "^  building" "$work/log" && fail "'$reason' was found only after building: $(cat "$work/log")"
  [[ -e $dir ]] && fail "a refused release left $dir behind"
  [[ ! -d $(dirname "$dir") || -z $(find "$(dirname "$dir")" -maxdepth 1 -name '*.partial.*') ]] ||
    fail "a refused release left a partial folder beside $dir"
  return 0
}
release_a=(bash "$a/scripts/release.sh")
refused=$work/refused
touch "$a/stray-file"
expect_refused "uncommitted changes" "$refused" "${release_a[@]}" "$refused"
rm "$a/stray-file"
expect_refused "not a folder name" "$a/--version" bash -c "cd '$a' && bash scripts/release.sh --version"
expect_refused "is not an empty folder" "$refused" bash -c "cd '$a' && bash scripts/release.sh ."
# Times that zip (from 1980) or the signing time's UTCTime (to 2049) cannot
# hold, on either side of the range.
for epoch in abc 1.5 -1 0 315532799 2524608000 4500000000; do
  SOURCE_DATE_EPOCH=$epoch expect_refused "SOURCE_DATE_EPOCH must be" "$refused" "${release_a[@]}" "$refused"
done
for dir in "$work/with space/release" "$work/ü/release"; do
  expect_refused "use a plainer path" "$dir" "${release_a[@]}" "$dir"
done
SIGN_GPG_PASSPHRASE=wrong expect_refused "SIGN_GPG_PASSPHRASE" "$refused" "${release_a[@]}" "$refused"
SIGN_GPG_KEY=$work/new-key.sec expect_refused "older than the commit" "$refused" \
  "${release_a[@]}" "$refused"
RELEASE_URL=$'https://example.invalid/x\nCommit: 0' expect_refused "RELEASE_URL must be" "$refused" "${release_a[@]}" "$refused"
SIGN_PASSWORD=wrong expect_refused "PKCS#12" "$refused" "${release_a[@]}" "$refused"
SIGN_PKCS12=$work/cert.pem expect_refused "PKCS#12" "$refused" "${release_a[@]}" "$refused"

# A release stopped by a signal leaves nothing: no partial folder and no
# process of its own. One killed outright (SIGKILL, which nothing can
# catch) leaves its work folder, in TMPDIR (never in DIR or beside it, where
# DIR's owner could swap a step's program), but no key in it: the keys
# reach the steps that sign on their standard input alone.
timeout -s TERM 8 "${release_a[@]}" "$refused" >"$work/log" 2>&1
(($? == 124)) || fail "the release was not stopped by timeout: $(cat "$work/log")"
[[ -e $refused || -n $(find "$work" -maxdepth 1 -name '*.partial.*') ]] && fail "a stopped release left files behind"
sleep 1
pgrep -af -- "$refused" && fail "a stopped release left processes running"
# (The subshell outlives the kill, and says so to nobody.)
mkdir "$work/killed-tmp"
(TMPDIR=$work/killed-tmp timeout -s KILL 25 "${release_a[@]}" "$refused" >"$work/log" 2>&1; true) 2>/dev/null
[[ -z $(find "$work" -maxdepth 1 -name '*.partial.*') ]] || fail "a killed release worked beside DIR"
partial=$(find "$work/killed-tmp" -maxdepth 1 -name 'release.*')
[[ -n $partial ]] && grep -q "checking the keys\|^  building" "$work/log" ||
  fail "a killed release left no partial folder, or was killed before its keys were used: $(cat "$work/log")"
sleep 1
pgrep -af -- "$partial" && fail "a killed release left processes running"
grep -rlF -e "$(sed -n 3p "$work/release-key.sec")" "$partial" && fail "a killed release left its key behind"
[[ -z $(find "$partial" -uid 65534) ]] || fail "a killed release left files of nobody's"
rm -rf "$partial"

# An unpacked source archive holding a device node (whose disk would be
# copied in) or a link leading out is refused, with its path and status 2,
# before anything is built.
unpacked_a=$work/unpacked-a/uptime-report-$version
for odd in "a device, fifo or socket" "a symbolic link leading out"; do
  rm -rf "$work/odd-source" && git -C "$a" archive --prefix=odd-source/ HEAD | tar -x -C "$work" ||
    fail "cannot make an unpacked source"
  printf 'Commit: %s\nSource-Date-Epoch: %s\nPackage-Revision: %s\n' "$commit" "$commit_time" \
    "$(cat "$a/packaging/revision")" >"$work/odd-source/RELEASE-INFO"
  if [[ $odd == a\ device* ]]; then mknod "$work/odd-source/disk" b 7 0; else ln -s /etc "$work/odd-source/etc"; fi
  RELEASE_SOURCE=$work/odd-source expect_refused "is $odd" "$refused" "${release_a[@]}" "$refused"
  RELEASE_SOURCE=$work/odd-source "${release_a[@]}" "$refused" >/dev/null 2>&1
  (($? == 2)) || fail "$odd in RELEASE_SOURCE: not status 2"
done
rm -rf "$work/odd-source"

(umask 022 && TZ=UTC LC_ALL=C "${release_a[@]}" "$work/release-a") >"$work/log" 2>&1 ||
  fail "release: $(cat "$work/log")"
# Then, at once, sharing the roots: a second release into an existing empty
# folder, with the caller's build and git settings as foreign as they come;
# a third from the first's source archive, unpacked (no git); and a
# verification of the first, whose DIR is changed once it has been read:
# none of it may reach the verdict or the artifacts.
mkdir -m 2775 "$work/release-b"
(umask 077 && cd "$b" && TZ=Pacific/Chatham LC_ALL=C.UTF-8 TMPDIR=$other \
  LDFLAGS=-Wl,--build-id=sha1 CXXFLAGS=-O0 CFLAGS=-O0 CMAKE_BUILD_TYPE=Debug \
  GIT_CONFIG_COUNT=2 GIT_CONFIG_KEY_0=core.autocrlf GIT_CONFIG_VALUE_0=true \
  GIT_CONFIG_KEY_1=tar.umask GIT_CONFIG_VALUE_1=0077 \
  bash scripts/release.sh "$work/release-b") >"$work/log-b" 2>&1 &
release_b=$!
mkdir "$work/unpacked-a" && tar -xzf "$work/release-a/uptime-report-$version-source.tar.gz" -C "$work/unpacked-a" ||
  fail "cannot unpack the source archive"
(cd "$unpacked_a" && bash scripts/release.sh "$work/release-c") >"$work/log-c" 2>&1 &
release_c=$!
changing=$work/changing
cp -a "$work/release-a" "$changing"
verify_changing() {
  verify "$changing" "$work/release-key.pub" 2>&1 | while IFS= read -r line; do
    printf '%s\n' "$line"
    if [[ $line == *"every check reads these copies"* ]]; then
      for file in "$changing"/*; do printf 'changed' >"$file"; done
    fi
  done
  return "${PIPESTATUS[0]}"
}
verify_changing >"$work/log-v" &
verification=$!
wait "$release_b" || fail "second release: $(cat "$work/log-b")"
wait "$release_c" || fail "release of the unpacked source: $(cat "$work/log-c")"
wait "$verification" || fail "the verification: $(cat "$work/log-v")"
for pattern in "holds exactly commit $commit's files" "the roots hold exactly the packages BUILDINFO lists" \
  "^VERIFIED"; do
  grep -qE -- "$pattern" "$work/log-v" || fail "no '$pattern' from the verification: $(cat "$work/log-v")"
done
[[ $(stat -c %a "$work/release-b") == 2775 ]] || fail "the existing DIR lost its mode"
for other_release in release-b release-c; do
  diff -r "$work/release-a" "$work/$other_release" >/dev/null && continue
  for file in "$work/release-a"/*; do
    name=$(basename "$file")
    cmp -s "$file" "$work/$other_release/$name" && continue
    echo "$name differs:"
    diffoscope "$file" "$work/$other_release/$name" 2>&1 | head -n 60
  done
  fail "$other_release differs from release-a"
done

cd "$work/release-a" || fail "no release"
upstream=${version%-*} revision=${version##*-}
[[ $version == *-* ]] || revision=1
expected=(SHA256SUMS SHA256SUMS.asc BUILDINFO "uptime-report-$version.spdx.json"
  "uptime-report-$version-source.tar.gz" UptimeReport.UptimeReport.yaml
  UptimeReport.UptimeReport.installer.yaml UptimeReport.UptimeReport.locale.en-US.yaml
  uptime-report.json "uptime-report-$version-oci.tar" "uptime-report-$version-oci-index.json")
# The packages of each architecture of cmake/architectures.
while read -r kind arch rpm pacman; do
  if [[ $kind == windows ]]; then
    expected+=("uptime-report-$version-windows-$arch.zip")
  else
    expected+=("uptime-report_${version}_$arch.deb" "uptime-report-$version-linux-$arch.tar.gz")
    [[ $rpm == - ]] || expected+=("uptime-report-$upstream-$revision.$rpm.rpm")
    [[ $pacman == - ]] || expected+=("uptime-report-$upstream-$revision-$pacman.pkg.tar.zst")
  fi
done < <(/usr/bin/python3 -c '
import sys
sys.path.insert(0, sys.argv[1])
from uptime_release import tables
table = tables.read()
for line in table.windows:
    print("windows", line.name)
for line in table.linux:
    print("linux", line.name, line.rpm or "-", line.pacman or "-")
' "$src/scripts")
[[ $(printf '%s\n' "${expected[@]}" | LC_ALL=C sort) == $(LC_ALL=C ls) ]] ||
  fail "expected exactly ${expected[*]}, found: $(ls)"

lintian --fail-on error ./*.deb >"$work/log" 2>&1 || fail "lintian: $(cat "$work/log")"
# Signed, the .rpm packages pass rpmlint with no filter for a missing
# signature: its signature check reads the key from an rpm database of the
# test's own.
mkdir "$work/home" && echo "%_dbpath $work/rpmdb" >"$work/home/.rpmmacros"
HOME=$work/home rpmkeys --import "$work/release-key.pub" &&
  HOME=$work/home rpmlint -c "$src/packaging/rpmlint.toml" ./*.rpm >"$work/log" 2>&1 ||
  fail "rpmlint: $(cat "$work/log")"

# The SPDX document lists every artifact with the checksum SHA256SUMS gives;
# BUILDINFO names both roots with every package in them.
/usr/bin/python3 - "uptime-report-$version.spdx.json" "$src/scripts" <<'PY' || fail "the SPDX document or BUILDINFO"
import json, sys
sys.path.insert(0, sys.argv[2])
from uptime_release import buildinfo
sums = dict(reversed(line.split("  ", 1)) for line in open("SHA256SUMS").read().splitlines())
document = json.load(open(sys.argv[1]))
assert document["spdxVersion"] == "SPDX-2.3", document["spdxVersion"]
listed = {p["packageFileName"]: p["checksums"][0]["checksumValue"]
          for p in document["packages"] if "packageFileName" in p}
expected = {name: digest for name, digest in sums.items()
            if not name.endswith(".spdx.json") and name != "BUILDINFO"}
assert listed == expected, (sorted(listed.items() ^ expected.items()))
names = {p["name"] for p in document["packages"]}
assert {"musl", "libgcc"} <= names and "mingw-w64 runtime" not in names, names
info = buildinfo.read(open("BUILDINFO", "rb").read(), "BUILDINFO")
assert [(r.name, r.suite) for r in info.roots] == [("debian-13", "trixie"), ("debian-12", "bookworm")], info.roots
for root in info.roots:
    packages = dict(root.packages)
    assert {"dpkg", "cmake", "g++"} <= packages.keys() and len(packages) > 100, (root.name, len(packages))
PY

# The winget and Scoop manifests: every field, each hash against its .zip,
# each nested path against the .zip's members.
/usr/bin/python3 - "$version" "$RELEASE_URL" "$PROJECT_URL" "$upstream" "$revision" <<'PY' ||
import hashlib, json, sys, zipfile
import yaml
version, url, project, upstream, revision = sys.argv[1:]
load = lambda name: yaml.safe_load(open(f"UptimeReport.UptimeReport.{name}yaml"))
digest = lambda name: hashlib.sha256(open(name, "rb").read()).hexdigest()
common = {"PackageIdentifier": "UptimeReport.UptimeReport", "ManifestVersion": "1.6.0",
          "PackageVersion": upstream if revision == "1" else f"{upstream}.{revision}"}
versions, installer, locale = load(""), load("installer."), load("locale.en-US.")
assert versions == {**common, "DefaultLocale": "en-US", "ManifestType": "version"}, versions
assert locale == {**common, "PackageLocale": "en-US", "Publisher": "The uptime-report developers",
                  "PackageName": "uptime-report", "License": "MIT", "ManifestType": "defaultLocale",
                  "PackageUrl": project,
                  "ShortDescription": "Prints how long the system has been running"}, locale
for key, value in {**common, "ManifestType": "installer", "InstallerType": "zip",
                   "NestedInstallerType": "portable", "MinimumOSVersion": "10.0.17763.0"}.items():
    assert installer[key] == value, (key, installer[key])
scoop = json.load(open("uptime-report.json"))
assert {k: scoop[k] for k in ("version", "license", "bin", "homepage")} == {
    "version": version, "license": "MIT", "bin": "uptime-report.exe", "homepage": project}, scoop
assert [i["Architecture"] for i in installer["Installers"]] == ["x86", "x64", "arm64"]
assert sorted(scoop["architecture"]) == ["32bit", "64bit", "arm64"], scoop["architecture"]
for entry, scoop_arch in zip(installer["Installers"], ["32bit", "64bit", "arm64"]):
    name = f"uptime-report-{version}-windows-{entry['Architecture']}.zip"
    members = zipfile.ZipFile(name).namelist()
    assert entry["InstallerUrl"] == f"{url}/{name}", entry
    assert entry["InstallerSha256"] == digest(name).upper(), entry
    [nested] = entry["NestedInstallerFiles"]
    assert nested["PortableCommandAlias"] == "uptime-report", nested
    assert nested["RelativeFilePath"].replace("\\", "/") in members, (nested, members)
    scoop_entry = scoop["architecture"][scoop_arch]
    assert scoop_entry["url"] == entry["InstallerUrl"] and scoop_entry["hash"] == digest(name)
    assert f"{scoop_entry['extract_dir']}/{scoop['bin']}" in members, (scoop_entry, members)
PY
  fail "the winget and Scoop manifests"

# Each .exe signed, whole, and for its machine, its header dated at the
# commit; the x64 one prints its line.
for arch in x86 x64 arm64; do
  top=uptime-report-$version-windows-$arch
  unzip -q "$top.zip" -d "$work/zip"
  exe=$work/zip/$top/uptime-report.exe
  osslsigncode verify -in "$exe" -CAfile "$work/cert.pem" >"$work/log" 2>&1 ||
    fail "signature of $top.zip's .exe: $(cat "$work/log")"
  /usr/bin/python3 "$here/exe_check.py" "$exe" "$version_text" "$major" "$minor" "$arch" --timestamp "$commit_time" ||
    fail "the signed $arch .exe's metadata"
done
bash "$here/report_test.sh" shape "${emulator[@]}" "$work/zip/uptime-report-$version-windows-x64/uptime-report.exe" ||
  fail "the signed x64 .exe as released"

redo_sums() {
  (cd "$1" && sed -n 's/^[0-9a-f]\{64\}  //p' SHA256SUMS >"$work/names" && xargs -d '\n' sha256sum <"$work/names" >SHA256SUMS.new &&
    mv SHA256SUMS.new SHA256SUMS) || fail "cannot redo the sums in $1"
}
sign_sums() { # sign_sums DIR KEY...
  local dir=$1 signers=()
  shift
  for key; do signers+=(--local-user "$key"); done
  rm -f "$dir/SHA256SUMS.asc"
  GNUPGHOME=$work/gnupg gpg_as "${signers[@]}" --armor --detach-sign -o "$dir/SHA256SUMS.asc" "$dir/SHA256SUMS" \
    2>/dev/null || fail "cannot sign with $*"
}
# Runs a command inside the copy's unpacked source archive, and packs it again.
alter_source() {
  local copy=$1 archive=$1/uptime-report-$version-source.tar.gz
  shift
  rm -rf "$work/unpacked" && mkdir "$work/unpacked" && tar -xzf "$archive" -C "$work/unpacked" &&
    (cd "$work/unpacked/uptime-report-$version" && "$@") &&
    tar -czf "$archive" -C "$work/unpacked" "uptime-report-$version" || fail "cannot alter the source"
}
copy_release() { rm -rf "$1" && cp -a "$work/release-a" "$1" && rm "$1/SHA256SUMS.asc"; }
# Lists a package at a version in one root of the copy's BUILDINFO.
alter_buildinfo() { # alter_buildinfo COPY ROOT PACKAGE VERSION
  /usr/bin/python3 - "$src/scripts" "$@" <<'PY' || fail "cannot alter $1/BUILDINFO"
import dataclasses, sys
sys.path.insert(0, sys.argv[1])
from uptime_release import buildinfo
copy, root, package, version = sys.argv[2:]
info = buildinfo.read(open(f"{copy}/BUILDINFO", "rb").read(), "BUILDINFO")
roots = [dataclasses.replace(r, packages=tuple(sorted(dict(r.packages, **{package: version}).items())))
         if r.name == root else r for r in info.roots]
open(f"{copy}/BUILDINFO", "w").write(buildinfo.write(dataclasses.replace(info, roots=tuple(roots))))
PY
}

# A verifier that cannot make its work folder, or finds too little room
# there, stops with status 2, saying why, and blames nothing on the release.
(cd "$other" && TMPDIR=/nonexistent/tmp bash "$src/scripts/verify-release.sh" "$work/release-a") \
  >"$work/log" 2>&1
(($? == 2)) && grep -q "cannot make a temporary folder" "$work/log" ||
  fail "a TMPDIR that does not exist: $(cat "$work/log")"
[[ -e /nonexistent/tmp ]] && fail "a TMPDIR that does not exist was made"
# A TMPDIR inside DIR would put the verifier's own folder among the release's files.
expect_verdict 2 "TMPDIR .* is inside DIR" -- env TMPDIR="$work/release-a/tmp" \
  bash "$src/scripts/verify-release.sh" "$work/release-a" "$work/release-key.pub"
# Mounted here, not in a mount namespace of its own: a chroot's / is no
# mount point, so unshare cannot make its mounts private there.
mkdir "$work/small"
mount -t tmpfs -o size=6m,nr_inodes=400 small "$work/small" && small=$work/small || fail "cannot mount a small tmpfs"
expect_verdict 2 "nothing was judged" "free; a rebuild needs" -- env TMPDIR="$small" VERIFY_CA_FILE="$work/cert.pem" \
  bash "$src/scripts/verify-release.sh" "$work/release-a" "$work/release-key.pub"
umount "$small" && small=

# A machine with too little address space or too few processes for a
# rebuild is named for it, before anything is judged.
verify_limited() { (ulimit "$1" "$2" && verify "$work/release-a" "$work/release-key.pub"); }
expect_verdict 2 "nothing was judged" "address-space limit \(ulimit -v\) is 292 MiB" -- verify_limited -v 300000
expect_verdict 2 "nothing was judged" "process limit \(ulimit -u\) is 6" -- verify_limited -u 6

# Nothing vouches for a release checked without KEY from outside the
# repository: it is not rebuilt, and stays incomplete even when that is
# allowed.
expect_verdict 3 "the release was not rebuilt" "^INCOMPLETE" -- verify_copy --allow-incomplete "$work/release-a"

# A cached root that no longer holds what it was made with is refused before
# it is used: tampered in a copy of the cache, whose files are links to the
# cache's own until sed writes them anew.
cache=${UPTIME_REPORT_ROOTS:-/var/cache/uptime-report/roots}
tampered_cache=$(mktemp -d "$cache.test.XXXXXX") && cp -al "$cache"/[0-9a-f]* "$tampered_cache/" ||
  fail "cannot copy the roots' cache"
for status in "$tampered_cache"/*/root/var/lib/dpkg/status; do
  sed -i '/^Package: tar$/,/^$/s/^Version: .*/Version: 0.0-tampered/' "$status"
done
UPTIME_REPORT_ROOTS=$tampered_cache expect_verdict 2 "does not hold what it was made with" "tar 0.0-tampered" -- \
  verify "$work/release-a"
rm -rf "$tampered_cache"

# A release whose roots held a package version that Debian's archive no
# longer has cannot be rebuilt from it: incomplete, naming the package and
# the way to another archive, never a failure of the release.
gone=$work/gone
copy_release "$gone"
alter_buildinfo "$gone" debian-12 tar 0.0-gone
redo_sums "$gone"
expect_verdict 3 "does not hold tar \(= 0.0-gone\)" "UPTIME_REPORT_MIRROR" "^INCOMPLETE" -- \
  verify --allow-incomplete "$gone"
# A BUILDINFO that names a package its roots' recipe does not need, signed
# by the project, is refused before any root is made from it.
extra=$work/extra
copy_release "$extra"
alter_buildinfo "$extra" debian-12 hello 2.10-3
redo_sums "$extra" && sign_sums "$extra" release-key
expect_verdict 1 "debian-12 root lists packages its recipe does not need: hello" "^NOT VERIFIED" -- \
  verify "$extra" "$work/release-key.pub"

# Signed by the project, with the signature proper of the x64 .exe left as
# it is but for an unauthenticated blob, and another package name in the
# x86_64 .rpm's lead, which no signature covers: both fail as differing from
# the rebuild. SHA256SUMS.asc carries a second signature, by a key that KEY
# does not hold, and the verifier works under a TMPDIR too long for any
# gpg-agent socket.
tampered=$work/tampered
copy_release "$tampered"
zip=uptime-report-$version-windows-x64.zip rpm=uptime-report-$upstream-$revision.x86_64.rpm
rm -rf "$work/zip" && unzip -q "$tampered/$zip" -d "$work/zip" &&
  osslsigncode add -addUnauthenticatedBlob -in "$work/zip/${zip%.zip}/uptime-report.exe" -out "$work/blob.exe" \
    >/dev/null 2>&1 &&
  /usr/bin/python3 -c '
import sys, zipfile
source, member, replacement = sys.argv[1:]
entries = [(i, zipfile.ZipFile(source).read(i)) for i in zipfile.ZipFile(source).infolist()]
with zipfile.ZipFile(source, "w", zipfile.ZIP_DEFLATED) as out:
    for info, data in entries:
        out.writestr(info, open(replacement, "rb").read() if info.filename == member else data)
' "$tampered/$zip" "${zip%.zip}/uptime-report.exe" "$work/blob.exe" &&
  printf 'uptime-reporz' | dd of="$tampered/$rpm" bs=1 seek=10 conv=notrunc 2>/dev/null || fail "cannot tamper"
redo_sums "$tampered" && sign_sums "$tampered" release-key other-key
long_tmp=$work/$(printf 'a-folder-name-as-long-as-they-come-%.0s' {1..4})
mkdir -p "$long_tmp"
verify_long() { (export TMPDIR=$long_tmp && verify "$@"); }
expect_verdict 1 "ok    SHA256SUMS is signed by release-key" "also holds a signature by key" \
  "FAIL  $zip differs from its rebuild, first at byte" "FAIL  $rpm differs from its rebuild, first at byte" \
  "^NOT VERIFIED" -- verify_long "$tampered" "$work/release-key.pub"

# An archive from altered source, signed with the project's key, fails
# against the commit, which names the file. The key is given in binary: it
# checks the .rpm packages too.
altered=$work/altered
copy_release "$altered"
alter_source "$altered" sh -c 'echo "// altered" >>src/modMain.h'
redo_sums "$altered" && sign_sums "$altered" release-key
GNUPGHOME=$work/gnupg gpg --batch --export release-key >"$work/release-key.gpg" 2>/dev/null ||
  fail "cannot export the key in binary"
expect_verdict 1 "ok    $rpm is signed by KEY" "src/modMain.h: its content differs" "^NOT VERIFIED" -- \
  verify "$altered" "$work/release-key.gpg"

# The fake: one byte of two artifacts changed, the archive's release.sh
# replaced by one that writes outside its folder, the sums redone. Without a
# key, from the repository, the source fails. Signed by another key (and its
# .rpm packages, which that key did not sign, left out) and checked from a
# copy of the program, the signature holds for that key, and the rebuild
# names both artifacts. The replaced script never runs.
fake="$work/fake release ü"
outside=$work/written-outside
copy_release "$fake"
printf '\x01' | dd of="$fake/uptime-report-$version-linux-armel.tar.gz" bs=1 seek=100 \
  conv=notrunc 2>/dev/null
printf '\x01' | dd of="$fake/uptime-report_${version}_amd64.deb" bs=1 seek=2000 conv=notrunc 2>/dev/null
printf '#!/bin/sh\ntouch %s\n' "$outside" >"$work/fake-release.sh"
alter_source "$fake" cp "$work/fake-release.sh" scripts/release.sh
redo_sums "$fake"
expect_verdict 1 "note  no KEY given" "its signature was not checked \(no KEY given\)" \
  "scripts/release.sh: its content differs" "^NOT VERIFIED" -- verify "$fake"
rm "$fake"/*.rpm && sed -i '/\.rpm$/d' "$fake/SHA256SUMS" && sign_sums "$fake" other-key
expect_verdict 1 'SHA256SUMS is signed by other-key' "the source was not checked against the repository" \
  "FAIL  uptime-report-$version-linux-armel.tar.gz differs" \
  "FAIL  uptime-report_${version}_amd64.deb differs" "^NOT VERIFIED" -- \
  verify_copy "$fake" "$work/other-key.pub"
[[ -e $outside ]] && fail "the archive's release.sh ran"

# A hostile build, in a release signed by the project, is confined: it
# reaches no network (the listener hears nothing), writes nothing outside
# its folder, / and /release included, starts no user namespace of its own,
# and runs as a user of the run's own, neither root nor nobody.
/usr/bin/python3 -c '
import socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen()
open(sys.argv[1] + ".new", "w").write(str(server.getsockname()[1]))
__import__("os").rename(sys.argv[1] + ".new", sys.argv[1])
while True:
    server.accept()[0].close()
    open(sys.argv[2], "a").write("connected\n")
' "$work/port" "$work/heard" &
listener=$!
for _ in $(seq 50); do [[ -f $work/port ]] && break; sleep 0.1; done
[[ -f $work/port ]] || fail "the listener did not start"
networked=$work/networked
copy_release "$networked"
cat >"$work/networked.cmake" <<EOF
execute_process(COMMAND touch $outside)
execute_process(COMMAND /usr/bin/python3 -c "import socket; socket.create_connection(('127.0.0.1', $(cat "$work/port")), 5)"
                RESULT_VARIABLE network)
execute_process(COMMAND touch /written-at-root RESULT_VARIABLE root)
execute_process(COMMAND mkdir -p /release/keys RESULT_VARIABLE release)
execute_process(COMMAND unshare -Ur true RESULT_VARIABLE namespace)
execute_process(COMMAND id -u OUTPUT_VARIABLE uid OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND sh -c "head -c 600000000 /dev/zero >/tmp/big" RESULT_VARIABLE scratch)
execute_process(COMMAND truncate -s 2G /build/big RESULT_VARIABLE sparse)
message(FATAL_ERROR "confined: network \${network}\n/ \${root}\n/release \${release}\nuser namespace \${namespace}\nscratch \${scratch}\nfile size \${sparse}\nuid \${uid}")
EOF
alter_source "$networked" sh -c "cat '$work/networked.cmake' CMakeLists.txt >CMakeLists.txt.new && mv CMakeLists.txt.new CMakeLists.txt"
redo_sums "$networked" && sign_sums "$networked" release-key
expect_verdict 1 "the rebuild failed" "confined: network [^0]" "/ [1-9]" "/release [1-9]" "user namespace [1-9]" \
  "scratch [1-9]" "file size [^0]" "uid [1-9][0-9]*" "^NOT VERIFIED" -- verify_copy "$networked" "$work/release-key.pub"
uid=$(sed -n 's/^ *uid \([0-9]*\)$/\1/p' "$work/log")
((uid != 0 && uid != 65534)) || fail "the build ran as uid $uid, which others share"
[[ -e $work/heard ]] && fail "a build in the sandbox reached the network"
[[ -e $outside ]] && fail "a build in the sandbox wrote outside its folder"
[[ -e /written-at-root || -e /release ]] && fail "a build in the sandbox wrote at /"
# A build that never ends is stopped at the time limit of every step, with
# its whole process tree: nothing was judged, and the message says how to
# allow more.
slow=$work/slow
copy_release "$slow"
alter_source "$slow" sh -c "{ echo 'execute_process(COMMAND sleep 6000$$)'; cat CMakeLists.txt; } >CMakeLists.txt.new &&
  mv CMakeLists.txt.new CMakeLists.txt"
redo_sums "$slow" && sign_sums "$slow" release-key
UPTIME_REPORT_TIME_LIMIT=20 expect_verdict 2 "did not end within 20 s" "UPTIME_REPORT_TIME_LIMIT=SECONDS" \
  "nothing was judged" -- verify_copy "$slow" "$work/release-key.pub"
pgrep -f "sleep 6000$$" >/dev/null && fail "a stopped build left its processes running"
# A build that kills its own step is the release's failure, not this
# machine's: no out-of-memory kill happened.
alter_source "$slow" sh -c "{ echo 'execute_process(COMMAND sh -c \"kill -9 \$PPID\")'; cat CMakeLists.txt; } >CMakeLists.txt.new &&
  mv CMakeLists.txt.new CMakeLists.txt"
redo_sums "$slow" && sign_sums "$slow" release-key
expect_verdict 1 "the rebuild failed" "^NOT VERIFIED" -- verify_copy "$slow" "$work/release-key.pub"
# The roots' programs run as nobody special: no setuid or setgid bits.
[[ -z $(find "${UPTIME_REPORT_ROOTS:-/var/cache/uptime-report/roots}"/*/root -type f -perm /6000 -print -quit) ]] ||
  fail "a cached root holds setuid or setgid programs"

# Quick refusals, before any rebuild: edited sums fail on their signature;
# sums without their last newline, re-signed, are named for it; a file they
# do not list fails, even a hidden one; a fifo or a link to /dev/zero in an
# artifact's place fails before anything would wait or read for ever.
cp -a "$work/release-a" "$work/edited" && echo "# edited" >>"$work/edited/SHA256SUMS"
expect_verdict 1 "FAIL  SHA256SUMS.asc has a BAD signature" "^NOT VERIFIED" -- verify "$work/edited" "$work/release-key.pub"
cp -a "$work/release-a" "$work/unended" && truncate -s -1 "$work/unended/SHA256SUMS" && sign_sums "$work/unended" release-key
expect_verdict 1 "SHA256SUMS:[0-9]+: the last line has no newline" -- verify "$work/unended" "$work/release-key.pub"
cp -a "$work/release-a" "$work/hidden" && touch "$work/hidden/.extra"
expect_verdict 1 "FAIL  .extra is not in SHA256SUMS" -- verify "$work/hidden" "$work/release-key.pub"
artifact=uptime-report_${version}_i386.deb
for kind in fifo link; do
  odd=$work/odd-$kind
  cp -a "$work/release-a" "$odd" && rm "$odd/$artifact" || fail "cannot copy the release"
  if [[ $kind == fifo ]]; then mkfifo "$odd/$artifact"; else ln -s /dev/zero "$odd/$artifact"; fi
  expect_verdict 1 "FAIL  $artifact is not a plain file" -- verify "$odd" "$work/release-key.pub"
done
# The project's key, revoked: its signature fails, since the signer sets a
# release's signing time. A key with a revoked subkey serves: sums signed by
# its valid subkey hold (the .rpm packages, signed by the project's key, do
# not).
sed 's/^:-----/-----/' "$work/gnupg/openpgp-revocs.d/$(GNUPGHOME=$work/gnupg fingerprint release-key).rev" |
  cat "$work/release-key.pub" - >"$work/revoked-key.pub" || fail "cannot revoke the key"
expect_verdict 1 "signed by a key of KEY that is revoked" "^NOT VERIFIED" -- verify "$work/release-a" "$work/revoked-key.pub"
cp -a "$work/release-a" "$work/subkey" && sign_sums "$work/subkey" subkey-key
expect_verdict 1 "ok    SHA256SUMS is signed by subkey-key" "FAIL  $rpm is not signed by KEY" "^NOT VERIFIED" -- \
  verify "$work/subkey" "$work/subkey-key.pub"
# BUILDINFO with a field twice (another version first, the real one without
# its space), re-signed by the project: refused as it is, and not published.
twice=$work/twice
copy_release "$twice"
sed -i 's/^Version: .*/Version: 9.99\nVersion:'"$version"'/' "$twice/BUILDINFO"
redo_sums "$twice" && sign_sums "$twice" release-key
expect_verdict 1 "BUILDINFO:[0-9]+: not in BUILDINFO's one form" "^NOT VERIFIED" -- \
  verify "$twice" "$work/release-key.pub"
expect_verdict 1 "BUILDINFO:[0-9]+: not in BUILDINFO's one form" -- bash "$src/scripts/publish-repos.sh" "$twice" "$work/twice-tree"
[[ -e $work/twice-tree ]] && fail "a refused publish made its tree"
# A source archive holding gigabytes of zeros, megabytes packed, is refused
# before it is read into memory or unpacked.
huge=$work/huge
copy_release "$huge"
alter_source "$huge" truncate -s 300M huge
redo_sums "$huge"
expect_verdict 1 "unpacks to more than 256 MiB" "^NOT VERIFIED" -- verify "$huge"
rm -rf "$huge" "$work/unpacked"

# The pacman packages and the OCI image as their clients take them.
bash "$here/image_test.sh" "$work/release-a" "$src" || fail "the pacman packages and the OCI image"
# The signed release as APT, DNF and pacman repositories, taken by apt, dnf
# and pacman.
bash "$here/repo_test.sh" "$src" "$work/release-a" "$work" || fail "the repositories"
exit 0
