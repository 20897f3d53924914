#!/usr/bin/env bash
# Checks scripts/release.sh and scripts/verify-release.sh end to end. Two
# releases of the same commit, from two clones at different paths and file
# systems, the second under foreign build and git settings, umask, time zone
# and locale, both signed (Authenticode, OpenPGP) with throwaway keys, must
# give the same bytes. The release must verify, rebuilt from its source
# archive alone in another folder, and must not once an artifact or the sums
# are tampered with. Refusals leave nothing behind.
# Usage: release_test.sh SOURCE_DIR VERSION MAJOR MINOR [EMULATOR...]
set -u
src=$1 version=$2 major=$3 minor=$4
shift 4
emulator=("$@")
here=$(realpath "$(dirname "$0")")
work=$(mktemp -d)
# The second clone and its build go on another file system where there is
# one (tmpfs lists a folder in another order than ext4 does).
other=$(mktemp -d /dev/shm/release-test.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work" "$other"' EXIT
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
# existed then), one of them made after it.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 30 -subj "/CN=uptime-report release test" -addext extendedKeyUsage=codeSigning \
  2>/dev/null &&
  openssl pkcs12 -export -in "$work/cert.pem" -inkey "$work/key.pem" \
    -out "$work/signing.p12" -passout pass:throwaway || fail "cannot make a certificate"
export GNUPGHOME=$work/gnupg
mkdir -m 700 "$GNUPGHOME"
openpgp_key() {
  local name=$1 created=$2
  gpg --batch --faked-system-time "$created!" --passphrase throwaway \
    --quick-gen-key "$name <$name@example.invalid>" ed25519 sign never 2>/dev/null &&
    gpg --batch --pinentry-mode loopback --passphrase throwaway --armor \
      --export-secret-keys "$name" >"$work/$name.sec" 2>/dev/null &&
    gpg --batch --armor --export "$name" >"$work/$name.pub" 2>/dev/null
}
openpgp_key release-key $((commit_time - 86400)) && openpgp_key other-key $((commit_time - 86400)) &&
  openpgp_key new-key $((commit_time + 86400)) || fail "cannot make OpenPGP keys"
unset GNUPGHOME
export SIGN_PKCS12=$work/signing.p12 SIGN_PASSWORD=throwaway
export SIGN_GPG_KEY=$work/release-key.sec SIGN_GPG_PASSPHRASE=throwaway
# Published here: the release writes its winget and Scoop manifests.
export RELEASE_URL=https://example.invalid/uptime-report/releases/$version

# A refusal: the reason on stderr, no DIR, and no partial folder beside it.
expect_refused() {
  local reason=$1 dir=$2
  shift 2
  "$@" >"$work/log" 2>&1 && fail "released despite $reason: $(cat "$work/log")"
  grep -q -- "$reason" "$work/log" || fail "no '$reason' in: $(cat "$work/log")"
  [[ -e $dir ]] && fail "a refused release left $dir behind"
  [[ -z $(find "$(dirname "$dir")" -maxdepth 1 -name '*.partial.*') ]] ||
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
for epoch in abc 1.5 -1 4500000000; do
  SOURCE_DATE_EPOCH=$epoch expect_refused "SOURCE_DATE_EPOCH must be" "$refused" "${release_a[@]}" "$refused"
done
SIGN_GPG_PASSPHRASE=wrong expect_refused "SIGN_GPG_PASSPHRASE" "$refused" "${release_a[@]}" "$refused"
SIGN_GPG_KEY=$work/new-key.sec expect_refused "older than the commit" "$refused" \
  "${release_a[@]}" "$refused"
SIGN_PASSWORD=wrong expect_refused "PKCS#12" "$refused" "${release_a[@]}" "$refused"

(umask 022 && TZ=UTC LC_ALL=C "${release_a[@]}" "$work/release-a") >"$work/log" 2>&1 ||
  fail "release: $(cat "$work/log")"
# The second release, into an existing empty folder, with the caller's build
# and git settings as foreign as they come: none may reach the artifacts.
mkdir -m 2775 "$work/release-b"
(umask 077 && cd "$b" && TZ=Pacific/Chatham LC_ALL=C.UTF-8 TMPDIR=$other \
  LDFLAGS=-Wl,--build-id=sha1 CXXFLAGS=-O0 CFLAGS=-O0 CMAKE_BUILD_TYPE=Debug \
  GIT_CONFIG_COUNT=2 GIT_CONFIG_KEY_0=core.autocrlf GIT_CONFIG_VALUE_0=true \
  GIT_CONFIG_KEY_1=tar.umask GIT_CONFIG_VALUE_1=0077 \
  bash scripts/release.sh "$work/release-b") >"$work/log" 2>&1 || fail "second release: $(cat "$work/log")"
[[ $(stat -c %a "$work/release-b") == 2775 ]] || fail "the existing DIR lost its mode"

if ! cmp -s "$work/release-a/SHA256SUMS" "$work/release-b/SHA256SUMS" ||
  ! cmp -s "$work/release-a/SHA256SUMS.asc" "$work/release-b/SHA256SUMS.asc"; then
  for file in "$work/release-a"/*; do
    name=$(basename "$file")
    cmp -s "$file" "$work/release-b/$name" && continue
    echo "$name differs:"
    diffoscope "$file" "$work/release-b/$name" 2>&1 | head -n 60
  done
  fail "two releases of one commit differ"
fi

cd "$work/release-a" || fail "no release"
expected=(SHA256SUMS SHA256SUMS.asc BUILDINFO "uptime-report-$version.spdx.json"
  "uptime-report-$version-source.tar.gz" UptimeReport.UptimeReport.yaml
  UptimeReport.UptimeReport.installer.yaml UptimeReport.UptimeReport.locale.en-US.yaml
  uptime-report.json)
for arch in x86 x64 arm64; do
  expected+=("uptime-report-$version-windows-$arch.zip")
done
for arch in amd64 arm64 armel armhf i386 ppc64el s390x mips64el mipsel; do
  expected+=("uptime-report_${version}_$arch.deb" "uptime-report-$version-linux-$arch.tar.gz")
done
for arch in x86_64 aarch64 ppc64le s390x; do
  expected+=("uptime-report-$version-1.$arch.rpm")
done
[[ $(printf '%s\n' "${expected[@]}" | sort) == $(ls) ]] ||
  fail "expected exactly ${expected[*]}, found: $(ls)"

lintian --fail-on error ./*.deb >"$work/log" 2>&1 || fail "lintian: $(cat "$work/log")"
# Signed, the .rpm packages pass rpmlint with no filter for a missing
# signature: its signature check reads the key from an rpm database of the
# test's own.
mkdir "$work/home" && echo "%_dbpath $work/rpmdb" >"$work/home/.rpmmacros"
HOME=$work/home rpmkeys --import "$work/release-key.pub" &&
  HOME=$work/home rpmlint -c "$src/packaging/rpmlint.toml" ./*.rpm >"$work/log" 2>&1 ||
  fail "rpmlint: $(cat "$work/log")"

# The SPDX document lists every artifact with the checksum SHA256SUMS gives.
/usr/bin/python3 - "uptime-report-$version.spdx.json" <<'PY' || fail "the SPDX document"
import json, sys
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
PY

# The winget and Scoop manifests: every field, each hash against its .zip,
# each nested path against the .zip's members.
/usr/bin/python3 - "$version" "$RELEASE_URL" <<'PY' || fail "the winget and Scoop manifests"
import hashlib, json, sys, zipfile
import yaml
version, url = sys.argv[1:]
load = lambda name: yaml.safe_load(open(f"UptimeReport.UptimeReport.{name}yaml"))
digest = lambda name: hashlib.sha256(open(name, "rb").read()).hexdigest()
common = {"PackageIdentifier": "UptimeReport.UptimeReport", "PackageVersion": version,
          "ManifestVersion": "1.6.0"}
versions, installer, locale = load(""), load("installer."), load("locale.en-US.")
assert versions == {**common, "DefaultLocale": "en-US", "ManifestType": "version"}, versions
assert locale == {**common, "PackageLocale": "en-US", "Publisher": "The uptime-report developers",
                  "PackageName": "uptime-report", "License": "MIT", "ManifestType": "defaultLocale",
                  "ShortDescription": "Prints how long the system has been running"}, locale
for key, value in {**common, "ManifestType": "installer", "InstallerType": "zip",
                   "NestedInstallerType": "portable"}.items():
    assert installer[key] == value, (key, installer[key])
scoop = json.load(open("uptime-report.json"))
assert {k: scoop[k] for k in ("version", "license", "bin")} == {
    "version": version, "license": "MIT", "bin": "uptime-report.exe"}, scoop
assert scoop["description"] and scoop["homepage"].startswith("https://"), scoop
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

# Each .exe signed, whole, and for its machine; the x64 one prints its line.
for arch in x86 x64 arm64; do
  top=uptime-report-$version-windows-$arch
  unzip -q "$top.zip" -d "$work/zip"
  exe=$work/zip/$top/uptime-report.exe
  osslsigncode verify -in "$exe" -CAfile "$work/cert.pem" >"$work/log" 2>&1 ||
    fail "signature of $top.zip's .exe: $(cat "$work/log")"
  /usr/bin/python3 "$here/exe_check.py" "$exe" "$version" "$major" "$minor" "$arch" ||
    fail "the signed $arch .exe's metadata"
done
bash "$here/report_test.sh" shape "${emulator[@]}" "$work/zip/uptime-report-$version-windows-x64/uptime-report.exe" ||
  fail "the signed x64 .exe as released"

# Verified from another folder, rebuilt from the source archive alone.
verify() { (cd "$other" && VERIFY_CA_FILE=$work/cert.pem bash "$src/scripts/verify-release.sh" "$@"); }
verify "$work/release-a" "$work/release-key.pub" >"$work/log" 2>&1 ||
  fail "verify-release.sh: $(cat "$work/log")"
grep -q "^VERIFIED" "$work/log" || fail "verify-release.sh said: $(cat "$work/log")"

# One byte of one artifact changed, the sums made again and signed by another
# key: the signature holds for that key, the rebuild names the artifact.
tampered=$work/tampered
cp -a "$work/release-a" "$tampered" && rm "$tampered/SHA256SUMS.asc"
printf '\x01' | dd of="$tampered/uptime-report-$version-linux-armel.tar.gz" bs=1 seek=100 \
  conv=notrunc 2>/dev/null
(cd "$tampered" && grep -v SHA256SUMS SHA256SUMS | cut -d' ' -f3 | xargs sha256sum >SHA256SUMS.new &&
  mv SHA256SUMS.new SHA256SUMS)
GNUPGHOME=$work/gnupg gpg --batch --pinentry-mode loopback --passphrase throwaway \
  --local-user other-key --armor --detach-sign -o "$tampered/SHA256SUMS.asc" \
  "$tampered/SHA256SUMS" 2>/dev/null || fail "cannot sign with the other key"
verify "$tampered" "$work/other-key.pub" >"$work/log" 2>&1 && fail "a tampered artifact verified"
grep -q "FAIL  uptime-report-$version-linux-armel.tar.gz differs" "$work/log" ||
  fail "the tampered artifact is not named: $(cat "$work/log")"

# Edited sums fail on their signature.
cp -a "$work/release-a" "$work/edited" && echo "# edited" >>"$work/edited/SHA256SUMS"
verify "$work/edited" "$work/release-key.pub" >"$work/log" 2>&1 && fail "edited sums verified"
grep -q "SHA256SUMS.asc is not a good signature" "$work/log" ||
  fail "edited sums did not fail on the signature: $(cat "$work/log")"

# The signed release as APT and DNF repositories, taken by apt and dnf.
bash "$here/repo_test.sh" "$src" "$work/release-a" "$work" || fail "the repositories"
exit 0
