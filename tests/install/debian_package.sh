#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its metadata and contents, then starts the
# program from the unpacked package on the X display it is given, plays a file through its
# menu (the program finds its playback module where the package puts it) and closes it.
#   debian_package.sh BUILD_FOLDER X11PROBE PROJECT_VERSION WRITE_TEST_VIDEO
set -euo pipefail
build=$1 version=$3 writer=$4
export X11PROBE=$2
. "$(dirname "$0")/../support/desktop.sh"
out=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$out"' EXIT

(cd "$out" && cpack --config "$build/CPackConfig.cmake" > cpack.log 2>&1) \
    || { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$out"/*.deb)

[ "$(dpkg-deb -f "$deb" Package)" = reelview ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Section)" = video ] || fail "wrong section"
# The version a user's apt shows is the project's own, with no revision appended.
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] \
    || fail "package version $(dpkg-deb -f "$deb" Version) is not the project's $version"
# The project has no web site, so no Homepage field may point at one.
[ -z "$(dpkg-deb -f "$deb" Homepage)" ] || fail "Homepage names a site: $(dpkg-deb -f "$deb" Homepage)"
[[ "$(dpkg-deb -f "$deb" Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] \
    || fail "Maintainer is not 'Name <address>': $(dpkg-deb -f "$deb" Maintainer)"
# A software centre shows the first line as the summary and the rest as the description:
# both must be there, and the description more than a line.
description=$(dpkg-deb -f "$deb" Description)
summary=$(head -n 1 <<<"$description")
[ -n "$summary" ] && [ ${#summary} -le 80 ] || fail "bad summary: '$summary'"
[ "$(tail -n +2 <<<"$description" | grep -c .)" -ge 3 ] \
    || fail "the long description has fewer than 3 lines: $description"
depends=$(dpkg-deb -f "$deb" Depends)
# Computed from the program's libraries, plus the font for the menu captions.
for needed in 'libopencv-videoio4' 'libopencv-highgui4' 'libqt5widgets5' 'libc6' 'fonts-wqy-zenhei | fonts-noto-cjk'; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/reelview ./usr/share/applications/org.reelview.Reelview.desktop \
    ./usr/share/metainfo/org.reelview.Reelview.metainfo.xml ./usr/share/doc/reelview/copyright \
    ./usr/share/doc/reelview/changelog.gz ./usr/share/man/man1/reelview.1.gz \
    ./usr/lib/x86_64-linux-gnu/reelview/libreelview-playback.so \
    ./usr/share/icons/hicolor/48x48/apps/org.reelview.Reelview.png; do
    grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done

dpkg-deb -x "$deb" "$out/root"
# The changelog's newest entry is this version's.
changelog_version=$(zcat "$out/root/usr/share/doc/reelview/changelog.gz" | dpkg-parsechangelog -l - -S Version) \
    || fail "the changelog does not parse"
[ "$changelog_version" = "$version" ] || fail "the changelog's newest entry is $changelog_version, not $version"
# Compressed without a name or time stamp (gzip -n), so the same sources give the same package:
# the header's flags byte has no FNAME bit and its four time bytes are zero.
for gz in usr/share/doc/reelview/changelog.gz usr/share/man/man1/reelview.1.gz; do
    read -r flags t1 t2 t3 t4 < <(od -An -tu1 -j3 -N5 "$out/root/$gz")
    [ $((flags & 8)) -eq 0 ] && [ $((t1 | t2 | t3 | t4)) -eq 0 ] || fail "$gz keeps a name or time stamp"
done
# The manual page renders, and its NAME line says what the program is.
page=$(LC_ALL=C man -l "$out/root/usr/share/man/man1/reelview.1.gz" 2> "$out/man.log") \
    || { cat "$out/man.log" >&2; fail "the manual page does not render"; }
grep -q '^ *reelview - play a video' <<<"$page" || fail "the manual page has no NAME line: $page"
use_runtime_folder "$out"
"$writer" "$out/clip.avi" 10 || fail "could not write the test video"
"$out/root/usr/bin/reelview" &
pid=$!
window=$(wait_for_window '^Form1$') || fail "the packaged program showed no main window"
play_to_last_frame "$window" "$out/clip.avi" > /dev/null || fail "the packaged program did not play a file to its end"
"$X11PROBE" close "$window"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "the packaged program ended with exit code $status"
echo "PASS: package metadata, contents, changelog, manual page; the packaged program plays a file and ends with 0"
