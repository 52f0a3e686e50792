#!/usr/bin/env bash
# Builds the Debian package with CPack and checks its metadata and contents, then starts the
# program from the unpacked package on the X display it is given and closes it.
#   debian_package.sh BUILD_FOLDER X11PROBE
set -euo pipefail
build=$1 probe=$2
out=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$out" && cpack --config "$build/CPackConfig.cmake" > cpack.log 2>&1) \
    || { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$out"/*.deb)

[ "$(dpkg-deb -f "$deb" Package)" = reelview ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Section)" = video ] || fail "wrong section"
depends=$(dpkg-deb -f "$deb" Depends)
# Computed from the program's libraries, plus the font for the menu captions.
for needed in 'libopencv-videoio4' 'libopencv-highgui4' 'libqt5widgets5' 'libc6' 'fonts-wqy-zenhei | fonts-noto-cjk'; do
    [[ "$depends" == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/reelview ./usr/share/applications/org.reelview.Reelview.desktop \
    ./usr/share/metainfo/org.reelview.Reelview.metainfo.xml ./usr/share/doc/reelview/copyright \
    ./usr/share/icons/hicolor/48x48/apps/org.reelview.Reelview.png; do
    grep -qx "$path" <<<"$contents" || fail "the package lacks $path"
done

dpkg-deb -x "$deb" "$out/root"
"$out/root/usr/bin/reelview" &
pid=$!
window=
for _ in $(seq 200); do
    window=$(xdotool search --onlyvisible --name '^Form1$' 2>/dev/null | head -n 1) || true
    [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || fail "the packaged program showed no main window"
"$probe" close "$window"
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || fail "the packaged program ended with exit code $status"
echo "PASS: package metadata, contents, and the packaged program starts and ends with 0"
