#!/usr/bin/env bash
# Installs the build into a staging folder and checks the tree a user's system would get.
#   staged_tree.sh BUILD_FOLDER
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$stage" cmake --install "$build" --prefix /usr > /dev/null
app=org.reelview.Reelview
sizes="16 22 24 32 48 64 128 256"

expected=$( {
    echo usr/bin/reelview
    echo usr/share/applications/$app.desktop
    echo usr/share/metainfo/$app.metainfo.xml
    echo usr/share/doc/reelview/copyright
    for size in $sizes; do echo usr/share/icons/hicolor/${size}x${size}/apps/$app.png; done
} | sort)
actual=$(cd "$stage" && find . -type f | sed 's|^\./||' | sort)
[ "$actual" = "$expected" ] || fail "installed files differ:
$(diff <(echo "$expected") <(echo "$actual"))"

[ -x "$stage/usr/bin/reelview" ] || fail "the program is not executable"

# Each icon is a PNG of its folder's size (width and height from the PNG header).
for size in $sizes; do
    png="$stage/usr/share/icons/hicolor/${size}x${size}/apps/$app.png"
    read -r w1 w2 w3 w4 h1 h2 h3 h4 < <(od -An -tu1 -j16 -N8 "$png")
    width=$(( (w1 << 24) | (w2 << 16) | (w3 << 8) | w4 ))
    height=$(( (h1 << 24) | (h2 << 16) | (h3 << 8) | h4 ))
    [ "$width" -eq "$size" ] && [ "$height" -eq "$size" ] || fail "$png is ${width}x${height}"
done

desktop="$stage/usr/share/applications/$app.desktop"
desktop-file-validate "$desktop" || fail "desktop-file-validate rejected the desktop entry"
grep -qx 'Exec=reelview' "$desktop" || fail "Exec must start the program without arguments"
grep -qx "Icon=$app" "$desktop" || fail "the desktop entry names another icon"
grep -qx 'Categories=AudioVideo;Video;Player;' "$desktop" || fail "wrong categories"
appstreamcli validate --no-net "$stage/usr/share/metainfo/$app.metainfo.xml" > /dev/null \
    || fail "appstreamcli rejected the metainfo file"
echo "PASS: installed tree, desktop entry, metainfo and icons"
