#!/usr/bin/env bash
# Installs the Debian package with apt into a fresh minimal Debian 12 system, as a user would,
# and uses it there on the X display it is given: the main window must draw its Chinese menu
# caption as glyphs, 檔案 ▸ 開啟 must play a video to its last frame, and closing the main
# window must end the program with 0. Then apt removes the package and no file of it may stay.
# The system gets only the package and what apt pulls in for it: the X server and the tools
# that drive the program (xdotool, ImageMagick's import, x11probe) run out here, and the X
# server's socket folder is bound into the system.
#   clean_install.sh ROOT DEB WRITE_TEST_VIDEO X11PROBE
# ROOT is a fresh system (debootstrap --variant=minbase bookworm, apt lists up to date) that
# nothing else uses; it is changed. Needs root, and DISPLAY (tests/support/with-xvfb).
set -euo pipefail
room=$1 deb=$2 writer=$3 probe=$4
export X11PROBE=$probe
. "$(dirname "$0")/../support/desktop.sh"
work=
fail() {
    echo "clean_install: FAIL: $*" >&2
    [ -n "$work" ] && [ -s "$work/program.log" ] && sed 's/^/  program: /' "$work/program.log" >&2
    exit 1
}
note() { echo "clean_install: $*"; }

# Our mounts stay in a mount namespace of our own and go with it.
if [ -z "${REELVIEW_CLEAN_INSTALL_UNSHARED:-}" ]; then
    REELVIEW_CLEAN_INSTALL_UNSHARED=1 exec unshare --mount --propagation private -- "$0" "$@"
fi
[ -n "${DISPLAY:-}" ] || { echo "clean_install: needs DISPLAY" >&2; exit 2; }
room=$(realpath "$room")

work=$(mktemp -d)
cleanup() {
    local status=$? pid m
    # Whatever still runs in the system (the program, helpers it started) ends with the test.
    for pid in /proc/[0-9]*; do
        [ "$(readlink "$pid/root" 2>/dev/null)" = "$room" ] && kill -9 "${pid#/proc/}" 2>/dev/null
    done
    for m in $(awk -v r="$room/" 'index($5, r) == 1 {print $5}' /proc/self/mountinfo | sort -r); do
        umount -l "$m" 2>/dev/null || true
    done
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT

mount -t proc proc "$room/proc"
mount -t sysfs -o ro sysfs "$room/sys"
mount --bind /dev "$room/dev"
mount --bind /dev/pts "$room/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$room/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$room/tmp"
mkdir -m 1777 "$room/tmp/.X11-unix"
mount --bind /tmp/.X11-unix "$room/tmp/.X11-unix"

path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
as_root() { chroot "$room" /usr/bin/env -i PATH=$path HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
installed() { as_root dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' | awk '$1 == "ii" {print $2}' | sort; }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN {printf "%.1f", b - a}'; }

# --- Install -------------------------------------------------------------------------------
note "package $(basename "$deb"): $(du -k "$deb" | cut -f1) KiB, Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"
note "Depends: $(dpkg-deb -f "$deb" Depends)"
cp "$deb" "$room/tmp/"
before=$(installed)
started=$(now)
as_root apt-get install -y "/tmp/$(basename "$deb")" > "$work/apt.log" 2>&1 \
    || { tail -n 40 "$work/apt.log" >&2; fail "apt-get install failed"; }
install_seconds=$(since "$started")
pulled=$(comm -13 <(echo "$before") <(installed))
grep -qx reelview <<<"$pulled" || fail "apt did not install reelview"
note "apt-get install took ${install_seconds} s and installed $(grep -c . <<<"$pulled") packages: reelview and $(($(grep -c . <<<"$pulled") - 1)) it pulled in"
as_root dpkg-query -W -f='${Version}' reelview | grep -qx "$(dpkg-deb -f "$deb" Version)" \
    || fail "the installed version is not the package's"

# A user of the system, not root, runs the program.
as_root useradd --create-home --uid 4242 --user-group viewer
video=/home/viewer/clip.avi
"$writer" "$room$video" 40 > /dev/null || fail "could not write the test video"
chmod 644 "$room$video"

pid=
start_program() {
    chroot --userspec=4242:4242 "$room" /usr/bin/env -i PATH=$path HOME=/home/viewer \
        USER=viewer LANG=C.UTF-8 DISPLAY="$DISPLAY" reelview > "$work/program.log" 2>&1 &
    pid=$!
}
# Asks the main window to close as its close button does; the program must end with 0.
close_program() {
    "$probe" close "$main"
    wait_until 10 bash -c "! kill -0 $pid 2>/dev/null" || fail "the program did not end within 10 s of closing its main window"
    local status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 0 ] || fail "the program ended with exit code $status"
}

# --- The menu caption: two different glyphs, not two boxes ---------------------------------
# Reads the menu bar strip (the top 26 pixel rows) of the main window and finds its dark
# pixels, the caption 檔案. A missing font draws each character as the same box, so the
# picture would repeat itself at one horizontal shift; two real glyphs match at no shift.
# Prints what it found; fails when the caption is empty, one-sided or repeats.
caption_is_glyphs() {
    import -window "$1" -crop 160x26+0+0 +repage -colorspace Gray -depth 8 -compress none pgm:- 2>/dev/null \
        | awk '
        NR == 1 { next }
        NF > 0 && !dims { w = $1; h = $2; dims = 1; next }
        dims == 1 && !max { max = $1; next }
        { for (i = 1; i <= NF; i++) { dark[n % w, int(n / w)] = ($i < 150); n++ } }
        END {
            x0 = w; x1 = -1
            for (y = 0; y < h; y++) for (x = 0; x < w; x++) if (dark[x, y]) {
                total++; if (x < x0) x0 = x; if (x > x1) x1 = x
            }
            if (total < 20) { print "no caption drawn (" total + 0 " dark pixels)"; exit 1 }
            width = x1 - x0 + 1; mid = x0 + int(width / 2)
            for (y = 0; y < h; y++) for (x = x0; x <= x1; x++) if (dark[x, y]) { if (x < mid) left++; else right++ }
            if (left < 10 || right < 10) { print "one half of the caption is empty (" left + 0 " and " right + 0 " dark pixels)"; exit 1 }
            # The least share of dark pixels that differ from those one shift to the right.
            best = 1
            for (d = int(width / 4); d <= int(3 * width / 4); d++) {
                diff = 0; count = 0
                for (y = 0; y < h; y++) for (x = x0; x + d <= x1; x++) if (dark[x, y] || dark[x + d, y]) {
                    count++; if (dark[x, y] != dark[x + d, y]) diff++
                }
                if (count > 0 && diff / count < best) { best = diff / count; shift = d }
            }
            printf "caption %d px wide, %d dark pixels; at its best shift (%d px) %.0f%% of them differ\n", width, total, shift, best * 100
            exit (best < 0.25)
        }'
}

started_program=$(now)
start_program
main=$(wait_for_window '^Form1$') || fail "the main window did not appear"
note "main window after $(since "$started_program") s"
# The caption may be drawn a moment after the window is mapped: look until it is right.
caption_seen=
for _ in $(seq 30); do
    caption_seen=$(caption_is_glyphs "$main") && break
    caption_seen=
    sleep 0.2
done
[ -n "$caption_seen" ] || fail "the menu caption is not drawn as two glyphs: $(caption_is_glyphs "$main")"
note "menu caption: $caption_seen"

# --- 檔案 ▸ 開啟 ---------------------------------------------------------------------------------
open_file "$main" "$video" || fail "could not open the video through the menu and the dialog"

window=$(wait_for_window '^video$') || fail "the video window did not appear"
first_frame=
last_frame=
for _ in $(seq 200); do
    eval "$(xdotool getwindowgeometry --shell "$window")"
    read -r r g b <<<"$("$probe" pixel "$window" $((WIDTH / 2)) $((HEIGHT / 2)) || echo 0 0 0)"
    # The clip is red frames, then one blue one.
    if [ -z "$first_frame" ] && { [ "$r" -gt 190 ] || [ "$b" -gt 190 ]; }; then
        first_frame=$(since "$started")
    fi
    if [ "$r" -lt 60 ] && [ "$g" -lt 60 ] && [ "$b" -gt 190 ]; then
        last_frame=yes
        break
    fi
    sleep 0.05
done
[ -n "$first_frame" ] || fail "the video window showed no frame of the clip"
[ -n "$last_frame" ] || fail "the video window never showed the last (blue) frame"
[ "$WIDTH" -eq 160 ] && [ "$HEIGHT" -eq 120 ] || fail "video window is ${WIDTH}x${HEIGHT}, not the picture's 160x120"
note "first frame on screen ${first_frame} s after apt-get install started (install ${install_seconds} s)"
close_program
note "played to the last frame in a 160x120 window; closing the main window ended the program with 0"

# --- The caption check catches a missing font ----------------------------------------------
# Without the CJK font the same check must fail, or it proves nothing. The font goes behind
# dpkg's back for this one start and comes back from apt's cache.
as_root dpkg --remove --force-depends fonts-wqy-zenhei > "$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log" >&2; fail "could not remove the font for the control run"; }
start_program
main=$(wait_for_window '^Form1$') || fail "without the CJK font the main window did not appear"
sleep 1
if verdict=$(caption_is_glyphs "$main"); then
    fail "the caption check passed without the CJK font ($verdict): it cannot tell glyphs from boxes"
fi
note "control without the CJK font: the caption check fails as it must ($verdict)"
close_program
as_root sh -c 'dpkg -i /var/cache/apt/archives/fonts-wqy-zenhei_*.deb' > "$work/dpkg.log" 2>&1 \
    || { cat "$work/dpkg.log" >&2; fail "could not put the font back"; }

# --- Removal leaves nothing of ours ---------------------------------------------------------
as_root dpkg -L reelview | sort -u > "$work/files"
as_root apt-get remove -y reelview > "$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get remove failed"; }
[ "$(as_root dpkg-query -W -f='${db:Status-Abbrev}' reelview 2>/dev/null || true)" != "ii " ] \
    || fail "reelview is still installed"
left=()
while IFS= read -r file; do
    [ -e "$room$file" ] || [ -L "$room$file" ] || continue
    # A folder may stay while another package owns it too; a file may not.
    if [ -d "$room$file" ] && [ ! -L "$room$file" ] && as_root dpkg-query -S "$file" > /dev/null 2>&1; then
        continue
    fi
    left+=("$file")
done < "$work/files"
[ ${#left[@]} -eq 0 ] || fail "apt-get remove left $(printf '\n  %s' "${left[@]}")"
note "apt-get remove reelview: none of its $(grep -c . "$work/files") paths is left but folders other packages own"
echo "PASS: installed with apt on a fresh system, drew its caption, played a file to the end, ended with 0, removed cleanly"
