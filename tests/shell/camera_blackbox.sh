#!/usr/bin/env bash
# Uses the real program on the X display it is given, with the fake camera preloaded as
# /dev/video0 (tests/support/fake_camera), as a person would: cancels 檔案 ▸ 開啟 with Escape
# and watches the camera play in "video"; closes that window and expects the camera closed;
# plays the camera again and opens a video over it, which must close the camera; closes the
# main window. Then once more with the camera playing when the main window is closed. Each
# time the program must end promptly with exit code 0, having written nothing to standard error.
#   camera_blackbox.sh PROGRAM X11PROBE WRITE_TEST_VIDEO FAKE_CAMERA_LIBRARY
set -euo pipefail
program=$1 writer=$3 fake_camera=$4
export X11PROBE=$2
. "$(dirname "$0")/../support/desktop.sh"

begin_session

video="$work/clip.avi"
"$writer" "$video" 40 || fail "could not write the test video"

export FAKE_CAMERA_COLOUR=FF8000 FAKE_CAMERA_SIZE=160x120
# A sanitizer build checks that its runtime is the first library; the preloaded fake is.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"

# While the fake camera is open, its memory, "fake-camera", is among the descriptors of the
# process that opened it: the program's camera reader.
camera_descriptors() { descriptors_in_tree "$pid" '*fake-camera*'; }
camera_open() { [ "$(camera_descriptors)" -gt 0 ]; }
camera_closed() { [ "$(camera_descriptors)" -eq 0 ]; }
program_ended() { ! kill -0 "$pid" 2> /dev/null; }

start_program() {
    LD_PRELOAD="$fake_camera${LD_PRELOAD:+:$LD_PRELOAD}" "$program" 2> "$PROGRAM_STDERR" &
    pid=$!
    main=$(wait_for_window '^Form1$') || fail "the main window did not appear"
}

# 檔案 ▸ 開啟, then Escape: with no file ever accepted, the camera plays.
play_camera() {
    choose_open "$main" > /dev/null || fail "the open dialog did not appear"
    xdotool key Escape
    wait_until 20 window_gone '^Open$' || fail "Escape did not cancel the open dialog"
    window=$(wait_for_window '^video$') || fail "the video window did not appear for the camera"
    wait_until 10 shows_colour "$window" 255 128 0 || fail "the video window never showed the camera's (orange) picture"
    camera_open || fail "the camera plays but its device is not open"
}

end_program_by_closing_main_window() {
    "$X11PROBE" close "$main"
    wait_until 10 program_ended || fail "the program did not end within 10 s of closing its main window $1"
    local status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 0 ] || fail "the program ended with exit code $status $1"
    [ ! -s "$PROGRAM_STDERR" ] || fail "the program wrote to standard error"
}

start_program
play_camera
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" -eq 160 ] && [ "$HEIGHT" -eq 120 ] || fail "video window is ${WIDTH}x${HEIGHT}, not the camera's 160x120"
"$X11PROBE" close "$window"
wait_until 10 window_gone '^video$' || fail "the video window did not close"
wait_until 5 camera_closed || fail "the camera stayed open after its window was closed"
program_ended && fail "closing the video window ended the program"

play_camera
open_file "$main" "$video" || fail "could not open the test video during camera playback"
wait_until 10 shows_colour "$window" 0 0 255 || fail "the video opened during camera playback never showed its last (blue) frame"
camera_closed || fail "the camera stayed open after a video replaced it"
end_program_by_closing_main_window "after playing the camera and a video"

start_program
play_camera
end_program_by_closing_main_window "during camera playback"
echo "PASS: the camera played, stopped with its window, gave way to a video, and closing the main window during camera playback ended the program with exit code 0; nothing on standard error"
