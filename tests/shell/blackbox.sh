#!/usr/bin/env bash
# Uses the real program on the X display it is given, as a person would: opens a damaged video
# and then a sound one through 檔案 ▸ 開啟 with the mouse and keyboard, watches the second play
# to its last frame in "video", then an HD one in its own colours, then closes the main window and expects the program to end
# promptly with exit code 0, having written nothing to standard error.
#   blackbox.sh PROGRAM X11PROBE WRITE_TEST_VIDEO
set -euo pipefail
program=$1 writer=$3
export X11PROBE=$2
. "$(dirname "$0")/../support/desktop.sh"

begin_session

video="$work/test clip.avi"
"$writer" "$video" 40 || fail "could not write the test video"
# Damaged as a broken download is: garbage over a stretch in the middle.
damaged="$work/damaged.avi"
cp "$video" "$damaged"
size=$(stat -c %s "$damaged")
head -c 4000 /dev/urandom | dd of="$damaged" bs=1 seek=$((size / 2)) conv=notrunc status=none

"$program" 2> "$PROGRAM_STDERR" &
pid=$!

main=$(wait_for_window '^Form1$') || fail "the main window did not appear"
open_file "$main" "$damaged" || fail "could not open the damaged video"
window=$(wait_for_window '^video$') || fail "the video window did not appear"
play_to_last_frame "$main" "$video" > /dev/null || fail "the video window never showed the test video's last (blue) frame"
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" -eq 160 ] && [ "$HEIGHT" -eq 120 ] || fail "video window is ${WIDTH}x${HEIGHT}, not the picture's 160x120"

# An HD stream in the colours it says it has: BT.709's red, not BT.601's reading of it (232,0,0).
hd="$work/hd.mp4"
"$writer" "$hd" 3 --bt709 || fail "could not write the HD video"
open_file "$main" "$hd" || fail "could not open the HD video"
wait_until 10 shows_colour "$window" 255 0 0 || fail "the HD video did not play"
read -r r g b <<< "$(centre_colour "$window")"
[ "$r" -ge 252 ] && [ "$g" -le 3 ] && [ "$b" -le 3 ] || fail "the HD video's red shows as $r,$g,$b"

"$X11PROBE" close "$main"
wait_until 10 eval '! kill -0 "$pid" 2> /dev/null' || fail "the program did not end within 10 s of closing its main window"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "the program ended with exit code $status"
[ ! -s "$PROGRAM_STDERR" ] || fail "the program wrote to standard error"
echo "PASS: played a damaged and a sound video, the last frame in a 160x120 window, and HD in its own colours; exit code 0; nothing on standard error"
