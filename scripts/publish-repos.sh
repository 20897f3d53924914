#!/usr/bin/env bash
# Adds a release's packages to the project's APT and DNF repositories, a
# folder that any static web server or object store can serve as it is, and
# writes their metadata anew: signed, and byte for byte the same for the same
# releases.
#
# Usage: scripts/publish-repos.sh RELEASE_DIR TREE
#   RELEASE_DIR  a release as scripts/release.sh makes it, or a downloaded
#                one (verified first with scripts/verify-release.sh): every
#                file must match its SHA256SUMS
#   TREE         the repositories: a new or empty folder, or one this script
#                made. The new TREE takes the old one's place only once it is
#                complete.
#
# TREE keeps every version ever added, so that an older one stays installable
# (apt-get install uptime-report=1.00, dnf install uptime-report-1.00):
#   apt/pool/main/u/uptime-report/*.deb, apt/dists/stable/: Release (SHA256),
#       InRelease, Release.gpg, main/binary-ARCH/Packages{,.gz,.xz} for the
#       nine Debian architectures
#   rpm/*.rpm, rpm/repodata/ (repomd.xml.asc), for the four rpm ones
#   releases/VERSION/: each release's BUILDINFO, SHA256SUMS and
#       SHA256SUMS.asc, against which every package is checked on each run
#   uptime-report.asc, uptime-report.gpg: the public key, armoured (dnf) and
#       binary (apt's Signed-By)
#   uptime-report.sources, uptime-report.repo: what a user puts in
#       /etc/apt/sources.list.d/ and /etc/yum.repos.d/
#
# Environment (nothing else of the caller's reaches the trees):
#   SIGN_GPG_KEY, SIGN_GPG_PASSPHRASE  as for scripts/release.sh: sign the
#                metadata; without a key the trees are unsigned, with no key
#                and no .sources or .repo file
#   REPO_URL     the address TREE is served at, written into the .sources
#                and .repo files (default: a placeholder to replace)
#
# Every timestamp, the signatures' included, is the newest SOURCE_DATE_EPOCH
# among the releases TREE holds, read from their BUILDINFO.
set -euo pipefail

usage="usage: scripts/publish-repos.sh RELEASE_DIR TREE   (see the script's opening comment)"
fail() { echo "publish-repos: $*" >&2; exit 1; }

# As in release.sh: the script runs again with a fixed PATH, no HOME of the
# caller's (no ~/.gnupg, ~/.rpmmacros; it makes its own below), and its own
# umask, locale and time zone.
if [[ -z ${PUBLISH_CLEAN_ENVIRONMENT:-} ]]; then
  keep=()
  for name in SIGN_GPG_KEY SIGN_GPG_PASSPHRASE REPO_URL; do
    [[ -v $name ]] && keep+=("$name=${!name}")
  done
  exec env -i PUBLISH_CLEAN_ENVIRONMENT=1 PATH=/usr/bin:/bin:/usr/sbin:/sbin \
    LC_ALL=C TZ=UTC "${keep[@]}" bash "$(realpath "${BASH_SOURCE[0]}")" "$@"
fi
umask 022

for arg in "$@"; do
  case $arg in
    -h | --help) echo "$usage"; exit 0 ;;
    -* | "") fail "'$arg' is not a folder name (options are not taken); $usage" ;;
  esac
done
(($# == 2)) || fail "$usage"
release=$(realpath -e -- "$1" 2>/dev/null) && [[ -d $release ]] || fail "the release is not a folder: $1"
out=$(realpath -m -- "$2")

# The repositories' names and what they carry: the architectures of the
# project's packages, which stay listed even before a package exists for one.
name=uptime-report
suite=stable component=main
deb_architectures=(amd64 arm64 armel armhf i386 mips64el mipsel ppc64el s390x)
rpm_architectures=(aarch64 ppc64le s390x x86_64)
pool=apt/pool/$component/${name:0:1}/$name
url=${REPO_URL:-https://downloads.example.invalid/uptime-report}
url=${url%/}
[[ $url =~ ^(https?|file):/[^[:space:]\\]*$ ]] || fail "REPO_URL must be an http(s):// or file:/ address, not '$url'"
tree_entries=(apt rpm releases "$name.asc" "$name.gpg" "$name.sources" "$name.repo")

for tool in apt-ftparchive createrepo_c dpkg-deb rpm gzip xz sha256sum; do
  command -v "$tool" >/dev/null || fail "$tool is missing (bash scripts/setup.sh test installs what this needs)"
done
if [[ -n ${SIGN_GPG_KEY:-} ]]; then
  [[ -r $SIGN_GPG_KEY ]] || fail "cannot read SIGN_GPG_KEY: $SIGN_GPG_KEY"
  command -v gpg >/dev/null && command -v gpgv >/dev/null || fail "gpg or gpgv is missing (apt-get install gnupg)"
fi

# Work files outside TREE; the new tree in a hidden folder beside it. Whatever
# ends the script removes both, and puts the old TREE back if it was moved.
work= stage= moved_old=
cleanup() {
  [[ -n $work && -d $work/gnupg ]] && GNUPGHOME=$work/gnupg gpgconf --kill all 2>/dev/null
  [[ -n $moved_old && ! -e $out ]] && mv "$moved_old" "$out"
  [[ -n $work ]] && rm -rf "$work"
  [[ -n $stage ]] && rm -rf "$stage"
  return 0
}
trap cleanup EXIT
# A signal ends the script through cleanup, with the status the shell gives.
for signal in HUP:129 INT:130 TERM:143; do trap "exit ${signal#*:}" "${signal%:*}"; done
work=$(mktemp -d) || fail "cannot make a temporary folder (TMPDIR=${TMPDIR:-/tmp})"
# A HOME of the script's own, empty: rpm and gpg read nothing of anybody's.
export HOME=$work/home
mkdir "$HOME"

field() { sed -n "s/^$1: //p" "$2"; }
contains() {
  local wanted=$1 item
  shift
  for item; do [[ $item == "$wanted" ]] && return 0; done
  return 1
}

# The release: its files must be the ones its sums name, and only packages
# the sums name are taken.
[[ -f $release/SHA256SUMS && -f $release/BUILDINFO ]] ||
  fail "$release holds no SHA256SUMS or no BUILDINFO: it is not a release folder"
# Each line names a plain file in the release folder, checked before any is
# read: a name through a folder or a symbolic link would place a package
# outside TREE, and a fifo or a device would hold sha256sum up.
bad_line=$(grep -vm1 '^[0-9a-f]\{64\}  [^-./][^/]*$' "$release/SHA256SUMS") &&
  fail "$release's SHA256SUMS has a line that is not a digest and a file name in the release folder: $bad_line"
while IFS= read -r file; do
  [[ -f $release/$file && ! -L $release/$file ]] ||
    fail "$release's SHA256SUMS lists $file, which is not a plain file in the release folder"
done < <(cut -c67- "$release/SHA256SUMS")
(cd "$release" && sha256sum --strict --quiet -c SHA256SUMS >/dev/null 2>&1) ||
  fail "files in $release do not match its SHA256SUMS (check with: cd $release && sha256sum -c SHA256SUMS)"
mapfile -t listed < <(sed -n 's/^[0-9a-f]\{64\}  //p' "$release/SHA256SUMS")
contains BUILDINFO "${listed[@]}" || fail "$release's SHA256SUMS does not cover its BUILDINFO"
version=$(field Version "$release/BUILDINFO")
epoch=$(field Source-Date-Epoch "$release/BUILDINFO")
[[ $version =~ ^[0-9][0-9A-Za-z.+~-]*$ ]] || fail "BUILDINFO names no usable version: '$version'"
[[ $epoch =~ ^(0|[1-9][0-9]{0,9})$ ]] || fail "BUILDINFO names no usable Source-Date-Epoch: '$epoch'"

# Where each of the release's files goes in TREE: "SOURCE<TAB>PATH" lines.
placements=()
for file in "${listed[@]}"; do
  case $file in
    *.deb)
      read -r package arch < <(dpkg-deb --showformat='${Package} ${Architecture}\n' -W "$release/$file") ||
        fail "$file is not a Debian package"
      [[ $package == "$name" ]] || fail "$file holds $package, not $name"
      contains "$arch" "${deb_architectures[@]}" || fail "$file is for $arch, which the APT repository does not carry"
      placements+=("$release/$file"$'\t'"$pool/$file")
      ;;
    *.rpm)
      read -r package arch < <(rpm -qp --qf '%{NAME} %{ARCH}\n' "$release/$file" 2>/dev/null) ||
        fail "$file is not an rpm package"
      [[ $package == "$name" ]] || fail "$file holds $package, not $name"
      contains "$arch" "${rpm_architectures[@]}" || fail "$file is for $arch, which the DNF repository does not carry"
      placements+=("$release/$file"$'\t'"rpm/$file")
      ;;
  esac
done
((${#placements[@]})) || fail "$release holds no .deb or .rpm package"
for file in BUILDINFO SHA256SUMS SHA256SUMS.asc; do
  [[ -f $release/$file ]] && placements+=("$release/$file"$'\t'"releases/$version/$file")
done

# TREE: empty, new, or made by this script, whose files it takes over. The
# same file name with other bytes would change what users already installed
# or verified, so it is refused (a rebuilt release under an old version).
old=
if [[ -e $out || -L $out ]]; then
  [[ -d $out && ! -L $out ]] || fail "$out exists and is not a folder"
  if [[ -n $(ls -A "$out") ]]; then
    old=$out
    [[ -d $out/releases ]] || fail "$out is not empty and holds no releases/: it is not a repository tree this script made"
    # Every name, hidden ones too (..name included): the old TREE is removed.
    for entry in "$out"/* "$out"/.[!.]* "$out"/..?*; do
      [[ -e $entry || -L $entry ]] || continue
      contains "$(basename "$entry")" "${tree_entries[@]}" ||
        fail "$out holds $(basename "$entry"), which is not part of a repository tree; move it elsewhere first"
    done
  fi
fi
for placement in "${placements[@]}"; do
  path=${placement#*$'\t'}
  [[ -z $old || ! -e $old/$path ]] || cmp -s "${placement%%$'\t'*}" "$old/$path" ||
    fail "$out already holds $path with other bytes; a published file is never replaced (give the release a new version)"
done

# Every package the tree will hold must match the SHA256SUMS of a release it
# holds: nothing that crept into TREE is signed along with the rest.
check_tree_packages() {
  local tree=$1 sums package expected=$work/expected
  for sums in "$tree"/releases/*/SHA256SUMS; do
    sed -n "s,^\([0-9a-f]\{64\}\)  \(.*\.deb\)$,\1  $pool/\2,p; s,^\([0-9a-f]\{64\}\)  \(.*\.rpm\)$,\1  rpm/\2,p" "$sums"
  done | sort -u >"$expected"
  # apt-ftparchive and createrepo_c follow symbolic links: one would have a
  # foreign package indexed and signed.
  local odd
  odd=$(cd "$tree" && find apt/pool rpm ! -type f ! -type d -print -quit 2>/dev/null)
  [[ -z $odd ]] || fail "$out holds $odd, which is neither a plain file nor a folder"
  (cd "$tree" && sha256sum --strict --quiet -c "$expected" >"$work/check.log" 2>&1) ||
    fail "packages in $out do not match their releases' SHA256SUMS: $(grep -v ': OK$' "$work/check.log")"
  while IFS= read -r package; do
    grep -qxF -- "$package" <(cut -c67- "$expected") ||
      fail "$out holds $package, which no release in it lists"
  done < <(cd "$tree" && find apt/pool rpm -type f \( -name '*.deb' -o -name '*.rpm' \) 2>/dev/null | sort)
}

if [[ -n $old ]]; then check_tree_packages "$old"; fi

# The tree's time: the newest release in it.
for buildinfo in "$old"/releases/*/BUILDINFO; do
  [[ -n $old && -f $buildinfo ]] || continue
  held=$(field Source-Date-Epoch "$buildinfo")
  [[ $held =~ ^[0-9]+$ ]] || fail "$buildinfo names no usable Source-Date-Epoch"
  ((held > epoch)) && epoch=$held
done

# The key, checked before anything is written: gpg will not sign at the
# tree's time with a key made after it.
signing=
if [[ -n ${SIGN_GPG_KEY:-} ]]; then
  export GNUPGHOME=$work/gnupg
  mkdir -m 700 "$GNUPGHOME"
  printf '%s' "${SIGN_GPG_PASSPHRASE:-}" >"$work/passphrase"
  gpg --batch --ignore-time-conflict --import "$SIGN_GPG_KEY" >"$work/gpg.log" 2>&1 ||
    fail "cannot import SIGN_GPG_KEY: $(cat "$work/gpg.log")"
  read -r fingerprint created < <(gpg --batch --with-colons --list-secret-keys |
    awk -F: '/^sec/ { created = $6 } /^fpr/ && created { print $10, created; exit }') || true
  [[ -n ${fingerprint:-} ]] || fail "SIGN_GPG_KEY holds no secret key"
  ((created <= epoch)) ||
    fail "the OpenPGP key was made at $created, after the newest release in the tree ($epoch): gpg will not sign before a key existed; use a key older than the release"
  gpg_sign=(gpg --batch --no-tty --faked-system-time "$epoch!" --pinentry-mode loopback
    --passphrase-file "$work/passphrase" --local-user "$fingerprint")
  echo test >"$work/test"
  "${gpg_sign[@]}" --detach-sign -o "$work/test.sig" "$work/test" >"$work/gpg.log" 2>&1 ||
    fail "signing with SIGN_GPG_KEY failed (a wrong SIGN_GPG_PASSPHRASE?): $(cat "$work/gpg.log")"
  signing=1
  # The tree's signature vouches only for packages whose release this key
  # signed: the new release and every one the tree keeps. A release whose
  # files were changed and its sums redone, one that another key signed, or
  # one that somebody put into TREE unsigned is not signed anew as this key's.
  gpg --batch --export "$fingerprint" >"$work/key.gpg" || fail "cannot export SIGN_GPG_KEY's public key"
  for sums in "$release/SHA256SUMS" ${old:+"$old"/releases/*/SHA256SUMS}; do
    [[ -f $sums.asc ]] || fail "$sums has no SHA256SUMS.asc beside it: a signed tree takes only releases signed by SIGN_GPG_KEY"
    gpgv --keyring "$work/key.gpg" "$sums.asc" "$sums" >"$work/gpgv.log" 2>&1 ||
      fail "$sums.asc is not a good signature over it by SIGN_GPG_KEY: $(cat "$work/gpgv.log")"
  done
fi
sign() { # sign FILE OUTPUT GPG-OPTIONS...
  local file=$1 output=$2
  shift 2
  "${gpg_sign[@]}" "$@" -o "$output" "$file" >"$work/gpg.log" 2>&1 ||
    fail "signing $file failed: $(cat "$work/gpg.log")"
}

mkdir -p "$(dirname "$out")"
stage=$(mktemp -d "$(dirname "$out")/.$(basename "$out").partial.XXXXXX") ||
  fail "cannot make a folder beside $out"
tree=$stage/tree
mkdir -p "$tree/$pool" "$tree/rpm" "$tree/releases"
if [[ -n $old ]]; then
  cp -R "$old/releases/." "$tree/releases/"
  cp -R "$old/$pool/." "$tree/$pool/"
  find "$old/rpm" -maxdepth 1 -name '*.rpm' -exec cp -t "$tree/rpm/" {} +
fi
for placement in "${placements[@]}"; do
  mkdir -p "$(dirname "$tree/${placement#*$'\t'}")"
  cp "${placement%%$'\t'*}" "$tree/${placement#*$'\t'}"
done
check_tree_packages "$tree"

# APT: a Packages index per architecture (apt-ftparchive lists the pool in
# name order, whatever order the file system gives), and the Release that
# names their sums. No Valid-Until: nothing re-signs a static tree.
ftparchive=(apt-ftparchive -o APT::FTPArchive::MD5=false -o APT::FTPArchive::SHA1=false)
dists=$tree/apt/dists/$suite
for arch in "${deb_architectures[@]}"; do
  index=$dists/$component/binary-$arch
  mkdir -p "$index"
  (cd "$tree/apt" && "${ftparchive[@]}" --arch "$arch" packages pool >"$index/Packages" 2>"$work/ftparchive.log") ||
    fail "apt-ftparchive failed for $arch: $(cat "$work/ftparchive.log")"
  gzip -9n <"$index/Packages" >"$index/Packages.gz"
  xz -T1 <"$index/Packages" >"$index/Packages.xz"
done
(cd "$dists" && "${ftparchive[@]}" \
  -o APT::FTPArchive::Release::Origin="$name" -o APT::FTPArchive::Release::Label="$name" \
  -o APT::FTPArchive::Release::Suite="$suite" -o APT::FTPArchive::Release::Codename="$suite" \
  -o APT::FTPArchive::Release::Components="$component" \
  -o APT::FTPArchive::Release::Architectures="${deb_architectures[*]}" \
  -o APT::FTPArchive::Release::Date="$(date -u -R -d "@$epoch")" \
  -o APT::FTPArchive::Release::Description="$name, every released version" \
  release . >"$work/Release") || fail "apt-ftparchive release failed"
mv "$work/Release" "$dists/Release"

# DNF: createrepo_c records each package's file time, so every file gets the
# tree's time first. No sqlite databases: they are not reproducible.
find "$tree" -exec touch -h -d "@$epoch" {} +
createrepo_c --quiet --no-database --checksum sha256 --workers 1 \
  --set-timestamp-to-revision --revision "$epoch" "$tree/rpm" >"$work/createrepo.log" 2>&1 ||
  fail "createrepo_c failed: $(cat "$work/createrepo.log")"

if [[ -n $signing ]]; then
  sign "$dists/Release" "$dists/InRelease" --clearsign
  sign "$dists/Release" "$dists/Release.gpg" --armor --detach-sign
  sign "$tree/rpm/repodata/repomd.xml" "$tree/rpm/repodata/repomd.xml.asc" --armor --detach-sign
  gpg --batch --armor --export "$fingerprint" >"$tree/$name.asc"
  gpg --batch --export "$fingerprint" >"$tree/$name.gpg"
  # What a user puts in /etc/apt/sources.list.d/ and /etc/yum.repos.d/, with
  # the key where each system keeps keys an administrator adds.
  cat >"$tree/$name.sources" <<EOF
Types: deb
URIs: $url/apt
Suites: $suite
Components: $component
Signed-By: /etc/apt/keyrings/$name.gpg
EOF
  cat >"$tree/$name.repo" <<EOF
[$name]
name=$name
baseurl=$url/rpm
enabled=1
gpgcheck=1
repo_gpgcheck=1
gpgkey=file:///etc/pki/rpm-gpg/RPM-GPG-KEY-$name
EOF
else
  echo "  the repositories are unsigned: set SIGN_GPG_KEY to sign them (apt and dnf refuse them otherwise)"
fi

chmod -R u=rwX,go=rX "$tree"
find "$tree" -exec touch -h -d "@$epoch" {} +
if [[ -n $old ]]; then
  moved_old=$stage/old
  mv "$old" "$moved_old"
fi
if [[ -d $out ]]; then
  mv "$tree"/* "$out/"
else
  mv "$tree" "$out"
fi
moved_old=
touch -d "@$epoch" "$out"
echo "Published $name $version in $out (every version it holds: $(ls "$out/releases" | sort -V | paste -sd' '))"
