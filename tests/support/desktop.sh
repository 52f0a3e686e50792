# Shell functions for driving the real program on an X display, as a person would, and for
# waiting on what a person waits for instead of sleeping for fixed times. Sourced by the
# black-box tests and scripts; needs xdotool, and x11probe for closing windows as a user does.

# Runs a command every 0.1 s until it succeeds, for up to $1 seconds (machines running other
# tests beside this one are slow, so callers give generous limits).
wait_until() {
    local seconds=$1
    shift
    local tries=$((seconds * 10))
    while [ "$tries" -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# Prints the id of a visible window whose name matches the regular expression $1.
visible_window() {
    local id
    id=$(xdotool search --onlyvisible --name "$1" 2> /dev/null | head -n 1) || true
    [ -n "$id" ] && echo "$id"
}

# Waits up to $2 seconds (default 20) for a visible window whose name matches $1; prints its id.
wait_for_window() {
    wait_until "${2:-20}" visible_window "$1"
}

# Succeeds once no visible window's name matches $1.
window_gone() {
    ! visible_window "$1" > /dev/null
}

# A drop-down menu is any visible window of the program other than the main window $1 and
# "video". (Qt names it only in _NET_WM_NAME, which xdotool's name search does not read.)
menu_open() {
    xdotool search --onlyvisible --class '^reelview$' 2> /dev/null \
        | grep -vx -e "$1" $(xdotool search --onlyvisible --name '^video$' 2> /dev/null | sed 's/^/-e /') \
        | grep -q .
}

# Returns once the program of window $1 has handled all the input sent to it so far, however
# long a busy machine makes that take (x11probe ping); fails if the window goes first.
settled() {
    "$X11PROBE" ping "$1"
}

# Chooses 檔案 ▸ 開啟 in the main window $1 and prints the open dialog's id, with the keyboard
# given to it (without a window manager nothing else would). Tries again, as a person would,
# if a click went unnoticed: once the program has handled the click and no menu is open.
choose_open() {
    local main=$1 dialog X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$main")"
    for _ in 1 2 3; do
        # 檔案 is the first entry of the menu bar, along the top of the window.
        xdotool mousemove $((X + 15)) $((Y + 10)) click 1
        settled "$main" || return 1
        if menu_open "$main"; then
            xdotool key Down Return
            settled "$main" || return 1
            if dialog=$(wait_for_window '^Open$'); then
                xdotool windowfocus --sync "$dialog"
                echo "$dialog"
                return 0
            fi
        fi
        xdotool key Escape
    done
    return 1
}

# Opens the file $2 through the main window $1: the menu, then the path typed into the dialog
# as a person types it, then Return. (xdotool drops characters it must map to a keyboard, so
# paths should be ASCII.) Returns once the program has taken the file: the dialog is gone and
# the command has begun, however long loading the playback module took.
open_file() {
    choose_open "$1" > /dev/null || return 1
    xdotool type --delay 10 "$2"
    xdotool key Return
    settled "$1" || return 1
    wait_until 20 window_gone '^Open$'
}

# Opens the file $2 through the main window $1 and waits for "video" to show its last frame,
# blue, as the test videos end (tests/shell/write_test_video); prints that window's id.
play_to_last_frame() {
    local video
    open_file "$1" "$2" || return 1
    video=$(wait_for_window '^video$') || return 1
    wait_until 10 shows_colour "$video" 0 0 255 || return 1
    echo "$video"
}

# Sets up what a black-box test needs around the program: the folder $work, removed when the
# script ends, after the program whose process id is in $pid (if any) has been killed; a
# runtime folder in it; and $PROGRAM_STDERR, the file for the program's standard error.
begin_session() {
    work=$(mktemp -d)
    pid=
    trap '[ -n "$pid" ] && kill "$pid" 2> /dev/null; rm -rf "$work"' EXIT
    use_runtime_folder "$work"
    export PROGRAM_STDERR="$work/stderr"
}

# Gives the program what a desktop session has, a private runtime folder, made in the folder
# $1; without it Qt makes one in /tmp and says so on standard error.
use_runtime_folder() {
    export XDG_RUNTIME_DIR="$1/runtime"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
}

# Prints the colour at the centre of window $1 as "R G B", using x11probe at $X11PROBE.
centre_colour() {
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1")"
    "$X11PROBE" pixel "$1" $((WIDTH / 2)) $((HEIGHT / 2))
}

# Succeeds while window $1 shows, at its centre, a colour within 60 of "R G B" ($2 $3 $4).
shows_colour() {
    local r g b
    read -r r g b <<< "$(centre_colour "$1" 2> /dev/null || echo '-999 -999 -999')"
    [ $((r > $2 ? r - $2 : $2 - r)) -le 60 ] && [ $((g > $3 ? g - $3 : $3 - g)) -le 60 ] \
        && [ $((b > $4 ? b - $4 : $4 - b)) -le 60 ]
}

# The process $1 and those it started, and they in turn (the player's readers), one a line.
processes_in_tree() {
    local tree=" $1 " grew=1 stat line process state parent
    while [ "$grew" -eq 1 ]; do
        grew=0
        for stat in /proc/[0-9]*/stat; do
            read -r line 2> /dev/null < "$stat" || continue
            process=${stat#/proc/} process=${process%/stat}
            # "PID (NAME) STATE PARENT ...", the name as the program chose it
            read -r state parent _ <<< "${line##*) }"
            if [[ $tree == *" $parent "* && $tree != *" $process "* ]]; then
                tree+="$process "
                grew=1
            fi
        done
    done
    printf '%s\n' $tree
}

# How many descriptors of the process $1 and those in its tree name something matching the
# pattern $2 (a test fake's memory, in /proc).
descriptors_in_tree() {
    local process
    for process in $(processes_in_tree "$1"); do
        find "/proc/$process/fd" -mindepth 1 -lname "$2" 2> /dev/null
    done | wc -l
}

# Says why a test failed, shows what the program wrote to standard error (the file named by
# PROGRAM_STDERR, if any), lists the visible windows and keeps a picture of the screen.
fail() {
    echo "FAIL: $*" >&2
    if [ -n "${PROGRAM_STDERR:-}" ] && [ -s "$PROGRAM_STDERR" ]; then
        echo "the program's standard error:" >&2
        tail -n 40 "$PROGRAM_STDERR" | sed 's/^/  /' >&2
    fi
    local window
    for window in $(xdotool search --onlyvisible --name '.*' 2> /dev/null); do
        echo "  visible window $window: \"$(xdotool getwindowname "$window")\"" >&2
    done
    local screen="${TMPDIR:-/tmp}/reelview-failure-$$.png"
    if command -v import > /dev/null && import -window root "$screen" 2> /dev/null; then
        echo "the screen at that moment: $screen" >&2
    fi
    exit 1
}
