#!/usr/bin/env bash
# Runs docs/releasing.md's recipe for a key that a release accepts, exactly
# as the document shows it, the way a batch job would: no terminal, a home
# of its own, from a folder outside the checkout. The key must be dated
# before the commit, both files must be there, and the recipe must leave
# the checkout and the temporary folder as it found them.
# Usage: key_recipe_test.sh SOURCE_DIR
set -u
[[ $# == 1 && -d $1 ]] || { echo "usage: key_recipe_test.sh SOURCE_DIR" >&2; exit 2; }
source_dir=$(realpath "$1")
work=$(mktemp -d)
# gpg makes a socket folder in /run/user for every home it is given, where
# there is a /run/user: this test's goes with it.
trap 'gpgconf --homedir "$work/gnupg" --remove-socketdir 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

commit_time=$(git -C "$source_dir" log -1 --format=%ct 2>/dev/null) ||
  { echo "SKIP: $source_dir is no git checkout, whose commit the key must predate"; exit 77; }
# The first fenced block after the sentence that introduces it.
awk '/makes a key that a release accepts/ { found = 1 }
     found && /^```$/ { if (inside) exit; inside = 1; next }
     inside' "$source_dir/docs/releasing.md" >"$work/recipe.sh"
[[ -s $work/recipe.sh ]] || fail "docs/releasing.md has no recipe for a key"

# The recipe's own names: the checkout at ~/uptime-report, the keys in
# ~/release-keys.
mkdir "$work/home" "$work/elsewhere" "$work/tmp" "$work/gnupg"
ln -s "$source_dir" "$work/home/uptime-report"
keys=$work/home/release-keys
tree_before=$(git -C "$source_dir" status --porcelain)
(cd "$work/elsewhere" && HOME=$work/home TMPDIR=$work/tmp setsid bash "$work/recipe.sh") \
  </dev/null >"$work/log" 2>&1 || fail "the recipe failed: $(cat "$work/log")"
[[ $(git -C "$source_dir" status --porcelain) == "$tree_before" ]] ||
  fail "the recipe changed the checkout: $(git -C "$source_dir" status --porcelain)"
[[ -z $(ls -A "$work/tmp") ]] || fail "the recipe left $(ls -A "$work/tmp") in TMPDIR"

# Both files hold the one key: the secret one and the public one.
show() { gpg --homedir "$work/gnupg" --show-keys --with-colons "$keys/$1" 2>/dev/null; }
public=$(show uptime-report.asc | awk -F: '$1 == "pub" { print $5, $6 }')
secret=$(show release-key.asc | awk -F: '$1 == "sec" { print $5, $6 }')
[[ -n $public && $public == "$secret" ]] ||
  fail "release-key.asc ($secret) and uptime-report.asc ($public) do not hold one key"
read -r _ created <<<"$public"
((created < commit_time)) || fail "the key was made at $created, not before the commit ($commit_time)"
echo "a key made at $created, $((commit_time - created)) s before the commit"
