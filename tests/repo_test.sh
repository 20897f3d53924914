#!/usr/bin/env bash
# Checks scripts/publish-repos.sh with the real clients, in private
# configurations that leave the machine's own apt, rpm and pacman alone: apt
# takes the signed tree and fetches amd64 and arm64 packages, dnf and pacman
# install into empty roots and the installed program runs; a changed
# Packages, metadata, database or package, or one signed by another key, is
# refused; two builds of the tree are identical; a higher package revision
# added to the tree is offered by all three as an upgrade, and a rebuilt one
# under an old name is refused; a tree or a kept release that was tampered
# with is refused before anything is written.
# Usage: repo_test.sh SOURCE_DIR RELEASE_DIR KEY_DIR
#   RELEASE_DIR  a release signed with KEY_DIR/release-key.sec
#   KEY_DIR      release-key.sec and other-key.sec, throwaway secret keys
#                whose passphrase is SIGN_GPG_PASSPHRASE
set -u
src=$1 release=$2 keys=$3
work=$(mktemp -d)
# The second build of the tree goes on another file system where there is
# one, which lists folders in another order.
other=$(mktemp -d /dev/shm/repo-test.XXXXXX 2>/dev/null || mktemp -d)
export GNUPGHOME=$work/gnupg
mounted=
trap '[[ -n $mounted ]] && umount -l "$mounted"; gpgconf --kill all 2>/dev/null; rm -rf "$work" "$other"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

[[ -n ${SIGN_GPG_PASSPHRASE:-} ]] || fail "SIGN_GPG_PASSPHRASE is not set"
export SIGN_GPG_KEY=$keys/release-key.sec
publish() { bash "$src/scripts/publish-repos.sh" "$@" >"$work/log" 2>&1; }
mkdir -m 700 "$GNUPGHOME"
gpg --batch --import "$keys/release-key.sec" "$keys/other-key.sec" 2>/dev/null ||
  fail "cannot import the test's keys"
signed_by() { # signed_by KEY FILE OUTPUT GPG-OPTIONS...
  local key=$1 file=$2 output=$3
  shift 3
  rm -f "$output"
  gpg --batch --pinentry-mode loopback --passphrase "$SIGN_GPG_PASSPHRASE" --local-user "$key" \
    "$@" -o "$output" "$file" 2>/dev/null || fail "cannot sign $file with $key"
}
version=$(sed -n 's/^Version: //p' "$release/BUILDINFO")
epoch=$(sed -n 's/^Source-Date-Epoch: //p' "$release/BUILDINFO")
upstream=${version%-*} revision=${version##*-}
[[ $version == *-* ]] || revision=1

tree=$work/tree
publish "$release" "$tree" || fail "publish-repos.sh: $(cat "$work/log")"
cp -R "$release" "$other/release"
publish "$other/release" "$other/tree" || fail "second publish-repos.sh: $(cat "$work/log")"
listing() { (cd "$1" && find . -printf '%P %m %T@\n' | sort); }
same_trees() {
  diff -r "$1" "$2" >"$work/log" && [[ $(listing "$1") == $(listing "$2") ]] ||
    fail "two trees from the same releases differ: $(head -n 40 "$work/log")"
}
same_trees "$tree" "$other/tree"

# apt in a folder of its own; the sources are the tree's own .sources file,
# pointed at the tree and its key. STATUS is dpkg's list of what is installed.
apt_in() { APT_CONFIG=$1/apt.conf "${@:2}"; }
apt_setup() {
  local dir=$1 served=$2 status=${3:-}
  rm -rf "$dir"
  mkdir -p "$dir"/etc/apt/{apt.conf.d,preferences.d,sources.list.d,trusted.gpg.d} \
    "$dir"/var/lib/apt/lists/partial "$dir"/var/cache/apt/archives/partial "$dir"/var/lib/dpkg
  cat >"$dir/apt.conf" <<EOF
Dir "$dir/";
Dir::State::status "$dir/var/lib/dpkg/status";
APT::Architecture "amd64";
APT::Architectures { "amd64"; "arm64"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
EOF
  if [[ -n $status ]]; then
    { dpkg-deb -f "$status" && echo "Status: install ok installed"; } >"$dir/var/lib/dpkg/status"
  else
    : >"$dir/var/lib/dpkg/status"
  fi
  sed -e "s,^URIs: .*,URIs: file:$served/apt," -e "s,^Signed-By: .*,Signed-By: $tree/uptime-report.gpg," \
    "$served/uptime-report.sources" >"$dir/etc/apt/sources.list.d/uptime-report.sources"
}
apt_setup "$work/apt" "$tree"
apt_in "$work/apt" apt-get update >"$work/log" 2>&1 || fail "apt-get update: $(cat "$work/log")"
grep -q '^[WE]:' "$work/log" && fail "apt-get update warned: $(cat "$work/log")"
mkdir "$work/download"
(cd "$work/download" && apt_in "$work/apt" apt-get download uptime-report uptime-report:arm64) \
  >"$work/log" 2>&1 || fail "apt-get download: $(cat "$work/log")"
for arch in amd64 arm64; do
  cmp -s "$work/download/uptime-report_${version}_$arch.deb" "$release/uptime-report_${version}_$arch.deb" ||
    fail "apt did not fetch the released $version package for $arch: $(ls "$work/download")"
done

# Tampered copies: a changed Packages (its sums in Release no longer hold),
# and a Release signed by another key.
expect_apt_refusal() {
  local what=$1 served=$2 reason=$3
  apt_setup "$work/apt" "$served"
  apt_in "$work/apt" apt-get update >"$work/log" 2>&1 && fail "apt-get update took $what"
  grep -q -- "$reason" "$work/log" || fail "$what: no '$reason' in: $(cat "$work/log")"
}
cp -a "$tree" "$work/changed"
index=$work/changed/apt/dists/stable/main/binary-amd64
sed -i 's/^Priority: optional/Priority: optionaL/' "$index/Packages"
gzip -9n <"$index/Packages" >"$index/Packages.gz" && xz <"$index/Packages" >"$index/Packages.xz"
expect_apt_refusal "a changed Packages" "$work/changed" "Hash Sum mismatch"
cp -a "$tree" "$work/resigned"
dists=$work/resigned/apt/dists/stable
signed_by other-key "$dists/Release" "$dists/InRelease" --clearsign
signed_by other-key "$dists/Release" "$dists/Release.gpg" --armor --detach-sign
# gpgv (Debian 12's apt) and sqv (Debian 13's) name the missing key each its own way.
expect_apt_refusal "a Release signed by another key" "$work/resigned" 'NO_PUBKEY\|Missing key'

# dnf into an empty root, every signature check on, with the tree's own
# .repo file pointed at the tree and its key. rpm installs through chroot,
# which takes root: a user runs it in a user namespace of their own.
as_root=()
((EUID == 0)) || as_root=(unshare --map-root-user)
dnf_in() {
  local root=$1 served=$2
  shift 2
  mkdir -p "$work/repos.d"
  sed -e "s,^baseurl=.*,baseurl=file://$served/rpm," -e "s,^gpgkey=.*,gpgkey=file://$tree/uptime-report.asc," \
    "$served/uptime-report.repo" >"$work/repos.d/uptime-report.repo"
  printf "[main]\n" >"$work/dnf.conf"
  "${as_root[@]}" dnf -y --config="$work/dnf.conf" --installroot="$root" --releasever=1 --setopt=reposdir="$work/repos.d" \
    --setopt=gpgcheck=1 --setopt=repo_gpgcheck=1 --setopt=install_weak_deps=0 \
    --setopt=metadata_expire=0 "$@"
}
grep -qx 'gpgcheck=1' "$tree/uptime-report.repo" && grep -qx 'repo_gpgcheck=1' "$tree/uptime-report.repo" ||
  fail "the .repo file does not ask for every signature check"
root=$work/root
dnf_in "$root" "$tree" install uptime-report >"$work/log" 2>&1 || fail "dnf install: $(cat "$work/log")"
[[ $(rpm --root "$root" -q uptime-report) == "uptime-report-$upstream-$revision.x86_64" ]] ||
  fail "dnf installed $(rpm --root "$root" -q uptime-report)"
bash "$src/tests/report_test.sh" shape "$root/usr/bin/uptime-report" || fail "the program dnf installed"
cp -a "$tree" "$work/resigned-rpm"
signed_by other-key "$work/resigned-rpm/rpm/repodata/repomd.xml" \
  "$work/resigned-rpm/rpm/repodata/repomd.xml.asc" --armor --detach-sign
dnf_in "$work/root-resigned" "$work/resigned-rpm" install uptime-report >"$work/log" 2>&1 &&
  fail "dnf took a repomd.xml signed by another key"
grep -q "repomd.xml GPG signature verification error" "$work/log" ||
  fail "dnf refused the metadata for another reason: $(cat "$work/log")"

# pacman into an empty root, signatures required, with the tree's own
# section pointed at the tree and a keyring of its own that trusts the key.
pacman_setup() { # pacman_setup DIR SERVED
  local dir=$1 served=$2 fingerprint
  rm -rf "$dir" && mkdir -p "$dir/root/var/lib/pacman" "$dir/cache" || fail "cannot make $dir"
  { printf '[options]\nArchitecture = x86_64\nDBPath = %s\nCacheDir = %s\nGPGDir = %s\nLogFile = %s\n\n' \
    "$dir/root/var/lib/pacman" "$dir/cache" "$dir/gnupg" "$dir/log"
    sed "s,^Server = .*,Server = file://$served/pacman/\$arch," "$served/uptime-report.pacman.conf"; } >"$dir/pacman.conf"
  fingerprint=$(gpg --with-colons --import-options show-only --import "$tree/uptime-report.asc" 2>/dev/null |
    awk -F: '$1 == "fpr" { print $10; exit }')
  { "${as_root[@]}" pacman-key --config "$dir/pacman.conf" --init &&
    "${as_root[@]}" pacman-key --config "$dir/pacman.conf" --add "$tree/uptime-report.asc" &&
    "${as_root[@]}" pacman-key --config "$dir/pacman.conf" --lsign-key "$fingerprint"; } >"$work/log" 2>&1 ||
    fail "pacman-key: $(cat "$work/log")"
}
pacman_in() { "${as_root[@]}" pacman --root "$1/root" --config "$1/pacman.conf" --noconfirm "${@:2}"; }
grep -qx 'SigLevel = Required' "$tree/uptime-report.pacman.conf" ||
  fail "the pacman section does not require signatures"
pacman_setup "$work/pacman" "$tree"
pacman_in "$work/pacman" -Sy uptime-report >"$work/log" 2>&1 || fail "pacman -Sy: $(cat "$work/log")"
[[ $(pacman_in "$work/pacman" -Q uptime-report) == "uptime-report $upstream-$revision" ]] ||
  fail "pacman installed $(pacman_in "$work/pacman" -Q uptime-report)"
pacman_in "$work/pacman" -Qkk uptime-report >"$work/log" 2>&1 || fail "pacman -Qkk: $(cat "$work/log")"
bash "$src/tests/report_test.sh" shape "$work/pacman/root/usr/bin/uptime-report" || fail "the program pacman installed"
# A package changed in the tree, and a database signed by another key.
pacman_package=uptime-report-$upstream-$revision-x86_64.pkg.tar.zst
cp -a "$tree" "$work/changed-pacman"
printf '\x01' | dd of="$work/changed-pacman/pacman/x86_64/$pacman_package" bs=1 seek=1000 conv=notrunc 2>/dev/null
pacman_setup "$work/pacman-changed" "$work/changed-pacman"
pacman_in "$work/pacman-changed" -Sy uptime-report >"$work/log" 2>&1 && fail "pacman installed a changed package"
grep -q "invalid or corrupted package" "$work/log" || fail "pacman refused the package for another reason: $(cat "$work/log")"
cp -a "$tree" "$work/resigned-pacman"
signed_by other-key "$work/resigned-pacman/pacman/x86_64/uptime-report.db" \
  "$work/resigned-pacman/pacman/x86_64/uptime-report.db.sig" --detach-sign
pacman_setup "$work/pacman-resigned" "$work/resigned-pacman"
pacman_in "$work/pacman-resigned" -Sy uptime-report >"$work/log" 2>&1 && fail "pacman took a database signed by another key"
grep -q "invalid or corrupted database (PGP signature)" "$work/log" ||
  fail "pacman refused the database for another reason: $(cat "$work/log")"

# The next package revision, made here: the released amd64 and arm64
# packages and the x86_64 pacman package with a higher revision, and an
# x86_64 .rpm of the same program, signed by the release's key (and, for a
# refusal, by another key).
next=$work/next bad=$work/next-bad
mkdir -p "$next" "$bad" "$work/unpacked"
next_revision=$((revision + 1))
next_version=$upstream-$next_revision
for arch in amd64 arm64; do
  rm -rf "$work/unpacked"
  dpkg-deb -R "$release/uptime-report_${version}_$arch.deb" "$work/unpacked" &&
    sed -i "s/^Version: .*/Version: $next_version/" "$work/unpacked/DEBIAN/control" &&
    dpkg-deb --root-owner-group -b "$work/unpacked" "$next/uptime-report_${next_version}_$arch.deb" \
      >/dev/null || fail "cannot repack the $arch package"
done
rm -rf "$work/unpacked" && mkdir "$work/unpacked" && tar --zstd -xf "$release/$pacman_package" -C "$work/unpacked" &&
  sed -i "s/^pkgver = .*/pkgver = $next_version/" "$work/unpacked/.PKGINFO" &&
  tar --zstd -cf "$next/uptime-report-$next_version-x86_64.pkg.tar.zst" -C "$work/unpacked" .BUILDINFO .MTREE .PKGINFO usr ||
  fail "cannot repack the pacman package"
rm -rf "$work/unpacked" && dpkg-deb -x "$release/uptime-report_${version}_amd64.deb" "$work/unpacked"
mkdir -p "$work/home" "$work/rpmbuild/SPECS"
cat >"$work/rpmbuild/SPECS/next.spec" <<EOF
Name: uptime-report
Version: $upstream
Release: $next_revision
Summary: The next version, for the repository test
License: MIT
%description
The released program under a higher version.
%install
install -D -m 755 $work/unpacked/usr/bin/uptime-report %{buildroot}/usr/bin/uptime-report
%files
/usr/bin/uptime-report
EOF
rpm_file=uptime-report-$next_version.x86_64.rpm
HOME=$work/home rpmbuild -bb --quiet --target x86_64 --define "_topdir $work/rpmbuild" \
  --define "debug_package %{nil}" --define "__os_install_post %{nil}" --define "_build_id_links none" \
  "$work/rpmbuild/SPECS/next.spec" >"$work/log" 2>&1 || fail "rpmbuild: $(cat "$work/log")"
# A release folder of the next version with its .rpm signed by KEY, and its
# sums by the release key, as a signed tree requires.
next_release() {
  local dir=$1 key=$2
  cp "$work/rpmbuild/RPMS/x86_64/$rpm_file" "$dir/" &&
    HOME=$work/home rpmsign --addsign --define "__gpg /usr/bin/gpg" --define "_gpg_name $key" \
      --define "_gpg_sign_cmd_extra_args --pinentry-mode loopback --passphrase $SIGN_GPG_PASSPHRASE" \
      "$dir/$rpm_file" >"$work/log" 2>&1 || fail "rpmsign: $(cat "$work/log")"
  /usr/bin/python3 -c '
import dataclasses, sys
sys.path.insert(0, sys.argv[1])
from uptime_release import buildinfo
info = buildinfo.read(open(sys.argv[2], "rb").read(), "BUILDINFO")
sys.stdout.write(buildinfo.write(dataclasses.replace(info, version=sys.argv[3], epoch=int(sys.argv[4]))))
' "$src/scripts" "$release/BUILDINFO" "$next_version" $((epoch + 1)) >"$dir/BUILDINFO" || fail "cannot write BUILDINFO"
  (cd "$dir" && sha256sum -- * >SHA256SUMS)
  signed_by release-key "$dir/SHA256SUMS" "$dir/SHA256SUMS.asc" --armor --detach-sign
}
cp "$next"/*.deb "$bad/"
next_release "$next" release-key
next_release "$bad" other-key

upgraded=$work/upgraded
cp -a "$tree" "$upgraded"
publish "$next" "$upgraded" || fail "adding $next_version: $(cat "$work/log")"
cp -R "$next" "$other/next"
publish "$other/next" "$other/tree" || fail "adding $next_version again: $(cat "$work/log")"
same_trees "$upgraded" "$other/tree"
apt_setup "$work/apt" "$upgraded" "$release/uptime-report_${version}_amd64.deb"
apt_in "$work/apt" apt-get update >"$work/log" 2>&1 || fail "apt-get update after $next_version: $(cat "$work/log")"
apt_in "$work/apt" apt-get -s upgrade >"$work/log" 2>&1
grep -q "^Inst uptime-report \[$version\] ($next_version " "$work/log" ||
  fail "apt offers no upgrade to $next_version: $(cat "$work/log")"
apt_in "$work/apt" apt-cache madison uptime-report >"$work/log" 2>&1
grep -q " $version " "$work/log" || fail "$version is no longer offered by apt: $(cat "$work/log")"
dnf_in "$root" "$upgraded" upgrade >"$work/log" 2>&1 || fail "dnf upgrade: $(cat "$work/log")"
[[ $(rpm --root "$root" -q uptime-report) == "uptime-report-$next_version.x86_64" ]] ||
  fail "dnf did not upgrade to $next_version: $(rpm --root "$root" -q uptime-report)"
sed -i "s,^Server = .*,Server = file://$upgraded/pacman/\$arch," "$work/pacman/pacman.conf"
pacman_in "$work/pacman" -Syu >"$work/log" 2>&1 || fail "pacman -Syu: $(cat "$work/log")"
[[ $(pacman_in "$work/pacman" -Q uptime-report) == "uptime-report $next_version" ]] ||
  fail "pacman did not upgrade to $next_version: $(pacman_in "$work/pacman" -Q uptime-report)"

# Two publishes on one tree at once: the second waits for the first, and
# the tree keeps both releases. A tree that is a mount point, which nothing
# can replace as a whole, takes them as well.
cp -a "$tree" "$work/both"
bash "$src/scripts/publish-repos.sh" "$next" "$work/both" >"$work/log-next" 2>&1 &
first=$!
publish "$release" "$work/both" || fail "publishing beside another run: $(cat "$work/log")"
wait "$first" || fail "the other run: $(cat "$work/log-next")"
[[ $(ls "$work/both/releases") == "$version"$'\n'"$next_version" ]] ||
  fail "two publishes at once kept $(ls "$work/both/releases")"
mkdir "$work/mounted" && mount -t tmpfs repo-test "$work/mounted" && mounted=$work/mounted ||
  fail "cannot mount a tmpfs"
publish "$release" "$mounted" && publish "$next" "$mounted" || fail "a TREE that is a mount point: $(cat "$work/log")"
diff -r "$mounted" "$upgraded" >"$work/log" || fail "the mounted tree differs: $(cat "$work/log")"
umount "$mounted" && mounted=

# A package signed by another key: dnf refuses it. Added under a version the
# tree already holds, publish-repos.sh refuses it first.
cp -a "$upgraded" "$work/upgraded-before"
publish "$bad" "$upgraded" && fail "publish-repos.sh replaced $rpm_file"
grep -q "already holds rpm/$rpm_file with other bytes" "$work/log" || fail "no reason given: $(cat "$work/log")"
diff -r "$upgraded" "$work/upgraded-before" >/dev/null || fail "a refused publish changed the tree"
cp -a "$tree" "$work/bad-tree"
publish "$bad" "$work/bad-tree" || fail "adding the other key's package: $(cat "$work/log")"
dnf_in "$work/root-bad" "$work/bad-tree" install uptime-report >"$work/log" 2>&1 &&
  fail "dnf installed a package signed by another key"
grep -q "GPG check FAILED" "$work/log" || fail "dnf refused the package for another reason: $(cat "$work/log")"

# Releases whose files do not match their sums, and keys that cannot sign,
# are refused before anything is written.
cp -a "$release" "$work/tampered"
printf '\x01' | dd of="$work/tampered/uptime-report_${version}_i386.deb" bs=1 seek=100 conv=notrunc 2>/dev/null
publish "$work/tampered" "$work/refused" && fail "published a release that does not match its sums"
grep -q "do not match its SHA256SUMS" "$work/log" || fail "no reason given: $(cat "$work/log")"
# Names in the sums that lead out of the release folder (and out of TREE), a
# fifo in place of a package, and a tree whose pool holds a symbolic link
# (apt-ftparchive would index its target) are refused.
odd=$work/odd
refused_case() { # refused_case REASON RELEASE TREE
  publish "$2" "$3" && fail "published despite '$1'"
  grep -q -- "$1" "$work/log" || fail "no '$1' in: $(cat "$work/log")"
}
rm -rf "$odd" && cp -a "$release" "$odd" && cp "$release/uptime-report_${version}_i386.deb" "$work/escaped.deb" &&
  (cd "$odd" && sha256sum ../escaped.deb >>SHA256SUMS) || fail "cannot make $odd"
refused_case "not a digest and a file name" "$odd" "$work/refused"
[[ -n $(find "$work" -name escaped.deb ! -path "$work/escaped.deb") ]] &&
  fail "a name in the sums placed a package outside TREE"
rm "$work/escaped.deb"
rm -rf "$odd" && cp -a "$release" "$odd" && mkdir "$odd/folder" || fail "cannot make $odd"
refused_case "holds folder, which is not a plain file" "$odd" "$work/refused"
rm -rf "$odd" && cp -a "$release" "$odd" && rm "$odd/uptime-report_${version}_i386.deb" &&
  mkfifo "$odd/uptime-report_${version}_i386.deb" || fail "cannot make $odd"
refused_case "which is not a plain file" "$odd" "$work/refused"
cp -a "$tree" "$work/linked" &&
  ln -s "$release/uptime-report_${version}_i386.deb" "$work/linked/apt/pool/main/u/uptime-report/foreign_1_i386.deb" ||
  fail "cannot make a linked tree"
refused_case "neither a plain file nor a folder" "$release" "$work/linked"
# Links in the kept releases are not followed: releases itself a link to a
# folder elsewhere, or a file in it a link elsewhere.
rm -rf "$work/linked" && cp -a "$tree" "$work/linked" && rm -rf "$work/linked/releases" && ln -s "$release" "$work/linked/releases" ||
  fail "cannot make a linked tree"
refused_case "releases, which is neither a plain file nor a folder" "$release" "$work/linked"
rm -rf "$work/linked" && cp -a "$tree" "$work/linked" && ln -s /etc/passwd "$work/linked/releases/$version/passwd" ||
  fail "cannot make a linked tree"
refused_case "neither a plain file nor a folder" "$release" "$work/linked"
# A kept release whose BUILDINFO was changed (a time far ahead, which would
# date every signature of the tree) no longer matches its signed sums.
cp -a "$tree" "$work/kept" && sed -i 's/^Source-Date-Epoch: .*/Source-Date-Epoch: 4102444800/' \
  "$work/kept/releases/$version/BUILDINFO" || fail "cannot change a kept BUILDINFO"
refused_case "do not match its SHA256SUMS" "$release" "$work/kept"
# A package changed and the sums redone: the release's signature no longer
# holds, and the tree is not signed over it.
rm -rf "$odd" && cp -a "$release" "$odd" &&
  printf '\x01' | dd of="$odd/uptime-report_${version}_i386.deb" bs=1 seek=100 conv=notrunc 2>/dev/null &&
  (cd "$odd" && sha256sum -- $(cut -c67- SHA256SUMS) >SHA256SUMS.new && mv SHA256SUMS.new SHA256SUMS) ||
  fail "cannot make $odd"
refused_case "is not a good signature over it by SIGN_GPG_KEY" "$odd" "$work/refused"
rm "$odd/SHA256SUMS.asc"
refused_case "has no SHA256SUMS.asc beside it" "$odd" "$work/refused"
SIGN_GPG_PASSPHRASE=wrong publish "$release" "$work/refused" && fail "published with a wrong passphrase"
grep -q "SIGN_GPG_PASSPHRASE" "$work/log" || fail "no reason given: $(cat "$work/log")"
[[ -z $(ls -A "$work" | grep -E '^(refused|\.refused\.partial)') ]] || fail "a refusal left files behind"
[[ -z $(find "$work"/linked "$work"/kept -newer "$tree" -name '.*partial*' 2>/dev/null) ]] ||
  fail "a refusal left a partial tree behind"
SIGN_GPG_KEY= publish "$release" "$work/unsigned" || fail "unsigned: $(cat "$work/log")"
grep -q "unsigned" "$work/log" && [[ ! -e $work/unsigned/apt/dists/stable/InRelease ]] ||
  fail "an unsigned tree is not said to be, or holds signatures"
exit 0
