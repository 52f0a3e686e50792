#!/usr/bin/env bash
# Uses the real program on the X display it is given, with a video whose reads stall for 8 s
# halfway through (tests/support/slow_file preloaded), as a person would while a USB disk or a
# network share stalls. Once the stall has begun, one case:
#   menu         檔案 opens within 1 s;
#   close-video  closing "video" removes it within 1 s, and another video opened then plays
#                while the stall still lasts;
#   close-main   closing the main window ends the program within 2 s with exit code 0;
#   killed       the program killed, its readers end within 2 s too, not once the stall is over.
#   stall_blackbox.sh CASE PROGRAM X11PROBE WRITE_TEST_VIDEO SLOW_FILE_LIBRARY
set -euo pipefail
case=$1 program=$2 writer=$4 slow_file=$5
export X11PROBE=$3
. "$(dirname "$0")/../support/desktop.sh"

begin_session

slow="$work/slow.avi" other="$work/other.avi"
"$writer" "$slow" 400 && "$writer" "$other" 20 || fail "could not write the test videos"
stall_seconds=8
export SLOW_FILE="$slow" SLOW_FILE_AT=$(($(stat -c %s "$slow") / 2)) SLOW_FILE_STALL_MS=$((stall_seconds * 1000))
# While a read stalls, the fake's memory, "slow-file-stall", is among the reader's descriptors.
stalling() { [ "$(descriptors_in_tree "$pid" '*slow-file-stall*')" -gt 0 ]; }
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
program_ended() { ! kill -0 "$pid" 2> /dev/null; }

LD_PRELOAD="$slow_file${LD_PRELOAD:+:$LD_PRELOAD}" "$program" 2> "$PROGRAM_STDERR" &
pid=$!
main=$(wait_for_window '^Form1$') || fail "the main window did not appear"
open_file "$main" "$slow" || fail "could not open the video"
window=$(wait_for_window '^video$') || fail "the video window did not appear"
wait_until 20 stalling || fail "the video's reads never stalled"
stalled_at=$SECONDS

case $case in
menu)
    eval "$(xdotool getwindowgeometry --shell "$main")"
    xdotool mousemove $((X + 15)) $((Y + 10)) click 1
    wait_until 1 menu_open "$main" || fail "the menu did not open within 1 s during the stall"
    xdotool key Escape
    ;;
close-video)
    "$X11PROBE" close "$window"
    wait_until 1 window_gone '^video$' || fail "the video window was still there 1 s after it was closed"
    open_file "$main" "$other" || fail "could not open another video during the stall"
    window=$(wait_for_window '^video$') || fail "the video window did not appear for the other video"
    wait_until 10 shows_colour "$window" 0 0 255 || fail "the other video did not play to its last frame"
    [ $((SECONDS - stalled_at)) -lt "$stall_seconds" ] || fail "the other video played only once the stall was over"
    ;;
close-main)
    "$X11PROBE" close "$main"
    wait_until 2 program_ended || fail "the program did not end within 2 s of closing its main window"
    status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 0 ] || fail "the program ended with exit code $status"
    ;;
killed)
    processes=$(processes_in_tree "$pid")
    kill -KILL "$pid"
    wait "$pid" 2> /dev/null || true
    pid=
    # Still running: there and not a zombie that whoever adopted it has yet to reap.
    running() { { ps -o stat=,pid=,args= -p "$(echo $processes | tr ' ' ,)" || true; } | grep -v '^Z'; }
    wait_until 2 eval '[ -z "$(running)" ]' || fail "the program's readers went on after it was killed: $(running)"
    ;;
*) fail "no such case: $case" ;;
esac
[ ! -s "$PROGRAM_STDERR" ] || fail "the program wrote to standard error"
echo "PASS ($case): the windows answered while the video's reads stalled"
