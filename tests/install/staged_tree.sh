#!/usr/bin/env bash
# Installs the build into a staging folder and checks the tree a user's system would get:
# its files, and that the installed program finds its playback module and plays a file, or
# says so when the module is broken. Runs on the X display it is given.
#   staged_tree.sh BUILD_FOLDER X11PROBE WRITE_TEST_VIDEO
set -euo pipefail
build=$1 writer=$3
export X11PROBE=$2
. "$(dirname "$0")/../support/desktop.sh"
stage=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2> /dev/null; rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" --prefix /usr > /dev/null
app=org.reelview.Reelview
sizes="16 22 24 32 48 64 128 256"

expected=$( {
    echo usr/bin/reelview
    echo usr/lib/x86_64-linux-gnu/reelview/libreelview-playback.so
    echo usr/lib/x86_64-linux-gnu/reelview/reelview-reader
    echo usr/share/applications/$app.desktop
    echo usr/share/metainfo/$app.metainfo.xml
    echo usr/share/doc/reelview/copyright
    echo usr/share/doc/reelview/changelog.gz
    echo usr/share/man/man1/reelview.1.gz
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
# The installed program plays a file through its menu: it found the module where it was installed.
"$writer" "$stage/clip.avi" 10 || fail "could not write the test video"
use_runtime_folder "$stage"
"$stage/usr/bin/reelview" &
pid=$!
main=$(wait_for_window '^Form1$') || fail "the installed program showed no main window"
play_to_last_frame "$main" "$stage/clip.avi" > /dev/null || fail "the installed program did not play a file to its end"
"$X11PROBE" close "$main"
wait "$pid" || fail "the installed program ended with exit code $?"
pid=

# A broken module is an error the program shows, not a crash.
module=$(ls "$stage"/usr/lib/*/reelview/libreelview-playback.so)
head -c 4096 "$module" > "$module.part" && mv "$module.part" "$module"
"$stage/usr/bin/reelview" &
pid=$!
main=$(wait_for_window '^Form1$') || fail "with a broken module, the program showed no main window"
choose_open "$main" > /dev/null || fail "with a broken module, the open dialog did not appear"
xdotool type --delay 10 "$stage/clip.avi"
xdotool key Return
message=$(wait_for_window '^reelview$') || fail "a broken module was not reported"
kill -0 "$pid" || fail "a broken module ended the program"
"$X11PROBE" close "$message"
wait_until 10 window_gone '^reelview$' || fail "the message did not close"
"$X11PROBE" close "$main"
wait "$pid" || fail "with a broken module, the program ended with exit code $?"
pid=
echo "PASS: installed tree, desktop entry, metainfo and icons; the installed program plays, and reports a broken module"
