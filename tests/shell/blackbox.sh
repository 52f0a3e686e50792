#!/usr/bin/env bash
# Uses the real program on the X display it is given, as a person would: opens a video through
# 檔案 ▸ 開啟 with the mouse and keyboard, watches it play to its last frame in "video", then
# closes the main window and expects the program to end promptly with exit code 0.
#   blackbox.sh PROGRAM X11PROBE WRITE_TEST_VIDEO
set -euo pipefail
program=$1 probe=$2 writer=$3

work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    local window
    for window in $(xdotool search --onlyvisible --name '.*' 2>/dev/null); do
        echo "  visible window $window: \"$(xdotool getwindowname "$window")\"" >&2
    done
    local screen="${TMPDIR:-/tmp}/reelview-blackbox-failure.png"
    import -window root "$screen" 2>/dev/null && echo "the screen at that moment: $screen" >&2 || true
    exit 1
}

# Runs a command every 0.1 s until it succeeds, for up to $1 seconds (CI machines run other
# tests beside this one, so waits are generous).
wait_until() {
    local seconds=$1
    shift
    for _ in $(seq $((seconds * 10))); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# Prints the id of a visible window whose name matches $1.
visible_window() {
    local id
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) || true
    [ -n "$id" ] && echo "$id"
}

# Waits up to 20 s for a visible window whose name matches $1; prints its id.
wait_for_window() {
    wait_until 20 visible_window "$1"
}

# A drop-down menu is any other visible window of the program. (Qt names it only in
# _NET_WM_NAME, which xdotool's name search does not read.)
menu_open() {
    xdotool search --onlyvisible --class '^reelview$' 2>/dev/null | grep -qvx "$main"
}

# Chooses 檔案 ▸ 開啟 and prints the open dialog's id. Waits for what the user would wait for
# (the menu to drop down, the dialog to appear) instead of guessing how long they take, and
# tries again, as a person would, if a click went unnoticed.
choose_open() {
    local dialog
    for _ in 1 2 3; do
        # 檔案 is the first entry of the menu bar, along the top of the window.
        xdotool mousemove $((X + 15)) $((Y + 10)) click 1
        if wait_until 5 menu_open; then
            xdotool key Down Return
            if dialog=$(wait_for_window '^Open$'); then
                echo "$dialog"
                return 0
            fi
        fi
        xdotool key Escape
    done
    return 1
}

# Typed as a person types a path. (xdotool drops characters it has to map to a keyboard,
# so names in Chinese are tried by the in-process tests instead.)
video="$work/test clip.avi"
"$writer" "$video" 40 || fail "could not write the test video"

"$program" &
pid=$!

main=$(wait_for_window '^Form1$') || fail "the main window did not appear"
eval "$(xdotool getwindowgeometry --shell "$main")"
dialog=$(choose_open) || fail "the open dialog did not appear"
# Without a window manager nothing gives the new dialog the keyboard; a click would.
xdotool windowfocus --sync "$dialog"
xdotool type --delay 10 "$video"
xdotool key Return

window=$(wait_for_window '^video$') || fail "the video window did not appear"
shown=
for _ in $(seq 100); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    shown=$("$probe" pixel "$window" $((WIDTH / 2)) $((HEIGHT / 2)) || true)
    read -r r g b <<<"${shown:-0 0 0}"
    if [ "$r" -lt 60 ] && [ "$g" -lt 60 ] && [ "$b" -gt 190 ]; then
        break
    fi
    shown=
    sleep 0.1
done
[ -n "$shown" ] || fail "the video window never showed the last (blue) frame"
[ "$WIDTH" -eq 160 ] && [ "$HEIGHT" -eq 120 ] || fail "video window is ${WIDTH}x${HEIGHT}, not the picture's 160x120"

"$probe" close "$main"
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "the program did not end within 10 s of closing its main window"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "the program ended with exit code $status"
echo "PASS: played to the last frame in a 160x120 video window; exit code 0"
