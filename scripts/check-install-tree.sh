#!/usr/bin/env bash
# Checks an installed Murravo tree: exactly the program and its data files, a desktop entry and
# AppStream metadata that validate and agree with each other, and the icon in the hicolor theme
# at every size. Prints one line per problem and exits 1 when there is any.
#   check-install-tree.sh PREFIX [--stripped]    a tree such as <root>/usr (what the .deb holds)
#   check-install-tree.sh --build BUILD_DIR      installs the build into a scratch prefix first
set -euo pipefail
app_id=com.brindleoak.murravo
icon_sizes=(16 22 24 32 48 64 128 256 512)

if [ "${1:-}" = "--build" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  # Every component, so that an install rule added anywhere else shows up as a stray file.
  cmake --install "$2" --prefix "$scratch/usr" >/dev/null
  bash "$0" "$scratch/usr"
  exit
fi
prefix=${1:?usage: check-install-tree.sh PREFIX [--stripped] | --build BUILD_DIR}
stripped=${2:-}
problems=0
problem() { echo "install tree: $*"; problems=$((problems + 1)); }

expected=(
  bin/murravo
  share/applications/$app_id.desktop
  share/metainfo/$app_id.metainfo.xml
  share/icons/hicolor/scalable/apps/$app_id.svg
  share/man/man1/murravo.1.gz
  share/doc/murravo/copyright
  share/doc/murravo/changelog.gz
)
for size in "${icon_sizes[@]}"; do expected+=("share/icons/hicolor/${size}x${size}/apps/$app_id.png"); done

# Exactly these files: no tests, benchmarks, static libraries or headers.
actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
wanted=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
while IFS= read -r f; do [ -n "$f" ] && problem "unexpected file $f"; done < <(comm -13 <(echo "$wanted") <(echo "$actual"))
while IFS= read -r f; do [ -n "$f" ] && problem "missing $f"; done < <(comm -23 <(echo "$wanted") <(echo "$actual"))

bin=$prefix/bin/murravo
if [ -f "$bin" ]; then
  [ "$(stat -c %a "$bin")" = 755 ] || problem "bin/murravo has mode $(stat -c %a "$bin"), not 755"
  kind=$(file -b "$bin")
  [[ $kind == 'ELF 64-bit LSB pie executable'* ]] || problem "bin/murravo is not a PIE executable: $kind"
  [[ $stripped == --stripped && $kind == *'not stripped'* ]] && problem "bin/murravo is not stripped"
fi

desktop=$prefix/share/applications/$app_id.desktop
if [ -f "$desktop" ]; then
  # Hints are advice; errors and warnings are faults.
  faults=$( (desktop-file-validate "$desktop" 2>&1 || true) | grep -E ': (error|warning):' || true)
  [ -z "$faults" ] || problem "the desktop entry does not validate:"$'\n'"$faults"
  key() { sed -n "/^$1=/{s/^$1=//p;q}" "$desktop"; }
  exec_cmd=$(key Exec); exec_cmd=${exec_cmd%% *}
  [ -x "$prefix/bin/$exec_cmd" ] || problem "the desktop entry runs '$exec_cmd', which is not in bin/"
  [ "$(key Icon)" = "$app_id" ] || problem "the desktop entry names icon '$(key Icon)', not $app_id"
fi

metainfo=$prefix/share/metainfo/$app_id.metainfo.xml
if [ -f "$metainfo" ]; then
  out=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1) || { echo "$out" | sed 's/^/install tree: /'; problem "the AppStream metadata does not validate"; }
  # The software centre finds the menu entry and the program through these.
  grep -q "<id>$app_id</id>" "$metainfo" || problem "the metainfo id is not $app_id"
  grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" \
    || problem "the metainfo does not launch $app_id.desktop"
  grep -q '<binary>murravo</binary>' "$metainfo" || problem "the metainfo does not provide the binary murravo"
  grep -q '@[A-Z_]*@' "$metainfo" && problem "the metainfo still holds an unfilled @VARIABLE@"
fi

for size in "${icon_sizes[@]}"; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/$app_id.png
  [ -f "$png" ] || continue
  kind=$(file -b "$png")
  [[ $kind == "PNG image data, $size x $size,"* ]] || problem "the ${size}x${size} icon is $kind"
  # A render of nothing (a wrong view box, an unreadable source) is one flat colour.
  spread=$(identify -format '%[fx:standard_deviation]' "$png" 2>/dev/null || echo 0)
  awk -v s="$spread" 'BEGIN { exit !(s > 0.05) }' || problem "the ${size}x${size} icon is blank"
done
svg=$prefix/share/icons/hicolor/scalable/apps/$app_id.svg
[ -f "$svg" ] && ! grep -q '<svg' "$svg" && problem "the scalable icon is not an SVG"

man=$prefix/share/man/man1/murravo.1.gz
if [ -f "$man" ]; then
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$man" 2>&1 >/dev/null || echo "man failed")
  [ -z "$warnings" ] || problem "the manual page renders with warnings: $warnings"
fi

[ "$problems" -eq 0 ] || { echo "install tree: $problems problem(s) in $prefix"; exit 1; }
echo "install tree: $prefix holds the program, its menu entry, metadata and icons, and nothing else"
