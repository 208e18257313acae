#!/usr/bin/env bash
# Builds the .deb (scripts/package.sh) and checks it: its control fields and contents, that its
# dependencies resolve, lintian (findings listed in packaging/linux/lintian-accepted.txt are
# reported, any other warning or error fails), the unpacked tree (scripts/check-install-tree.sh),
# and the installed binary started to its first window under Xvfb. Changes nothing on the host:
# the package is unpacked into a scratch root, never installed.
#   package-check.sh [BUILD_DIR]    (default: build-package)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build-package}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
section() { printf '\n== package check: %s\n' "$*"; }
failed=()
fail() { echo "FAILED: $*"; failed+=("$*"); }

section "build"
deb=$("$root/scripts/package.sh" "$dir" | sed -n 's/^package: //p')
echo "$deb ($(du -h "$deb" | cut -f1))"

section "control"
dpkg-deb -f "$deb" Package Version Architecture Installed-Size Section Priority Maintainer Depends Recommends
depends=$(dpkg-deb -f "$deb" Depends)
# dpkg-shlibdeps found the libraries the program links (a few that name them), and the
# plugins it loads at run time are there too.
for lib in libc6 libqt6widgets6 libqt6pdfwidgets6 libqt6svg6 libsodium23 libsecret-1-0 libzip4; do
  grep -qE "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib"
done

section "contents"
listing=$(dpkg-deb -c "$deb")
awk '$1 !~ /^d/ { print $1, $2, $3, $6 }' <<<"$listing"
awk '$2 != "root/root" { bad = 1; print "not owned by root: " $6 } END { exit bad }' <<<"$listing" || fail "files not owned by root"
awk '$6 !~ /^\.\/(usr\/.*)?$/ { bad = 1; print "outside /usr: " $6 } END { exit bad }' <<<"$listing" || fail "files outside /usr"

section "dependencies resolve"
if apt-get install --simulate --no-install-recommends "$deb" >"$scratch/apt.log" 2>&1; then
  grep -E '^(Inst|Conf) ' "$scratch/apt.log" | grep -v ' murravo ' | sed 's/^/would also install: /' || true
  echo "apt resolves every dependency"
else
  cat "$scratch/apt.log"; fail "apt cannot resolve the dependencies"
fi

section "lintian"
accepted_file=$root/packaging/linux/lintian-accepted.txt
declare -A accepted=()
while read -r tag _; do [ -n "$tag" ] && accepted[$tag]=1; done < <(sed 's/#.*//' "$accepted_file")
# Exit 1 means it found errors (judged below); 2 means it could not check the package at all.
lintian_rc=0
findings=$(lintian --tag-display-limit 0 --display-level '>=pedantic' "$deb" 2>"$scratch/lintian.err") || lintian_rc=$?
if [ "$lintian_rc" -gt 1 ]; then
  cat "$scratch/lintian.err"; fail "lintian did not run"
fi
while IFS= read -r line; do
  [ -n "$line" ] || continue
  # "X: murravo: tag-name [details]"
  level=${line%%:*} tag=$(awk '{ print $3 }' <<<"$line")
  if [ -n "${accepted[$tag]:-}" ]; then
    echo "accepted  $line"
  elif [ "$level" = E ] || [ "$level" = W ]; then
    echo "NEW       $line"; fail "lintian: $tag"
  else
    echo "note      $line"
  fi
done <<<"$findings"
[ -n "$findings" ] || echo "lintian: no findings"

section "unpacked tree"
dpkg-deb -x "$deb" "$scratch/root"
"$root/scripts/check-install-tree.sh" "$scratch/root/usr" --stripped || fail "unpacked tree"

section "first window of the installed program"
shot=$dir/package-first-window.png
"$root/scripts/first-window.sh" "$scratch/root/usr/bin/murravo" "$shot" \
  "$scratch/root/usr/share/applications/com.brindleoak.murravo.desktop" || fail "first window"

section "result"
if [ ${#failed[@]} -gt 0 ]; then
  printf 'package check failed: %s\n' "${failed[@]}"
  exit 1
fi
echo "package check passed: $deb"
