#!/usr/bin/env bash
# Builds the Debian package with CPack and checks it with lintian, Debian's package checker:
# any error (E:) or warning (W:) fails, and so does any hardening tag; other informational
# tags (I:) are printed but pass.
#   lintian.sh BUILD_FOLDER
set -euo pipefail
build=$(realpath "$1")
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

command -v lintian > /dev/null || fail "lintian is not installed (scripts/setup installs it)"
(cd "$out" && cpack --config "$build/CPackConfig.cmake" > cpack.log 2>&1) \
    || { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$out"/*.deb)

# lintian's exit code alone would not do: it is 0 for warnings. Its tags are read instead;
# a status of 2 means lintian itself failed, and then nothing was checked.
# lintian leaves a temporary file of its own behind; TMPDIR puts it in our folder.
status=0
TMPDIR="$out" lintian --display-info --tag-display-limit 0 "$deb" > "$out/lintian.log" 2>&1 || status=$?
echo "lintian $(basename "$deb"):"
sed 's/^/  /' "$out/lintian.log"
[ "$status" -le 1 ] || fail "lintian did not run (exit code $status)"
if grep -q '^[EW]: ' "$out/lintian.log"; then
    fail "lintian reports errors or warnings:
$(grep '^[EW]: ' "$out/lintian.log")"
fi
# The program is built hardened: not even an informational tag may say otherwise.
if grep -q 'hardening-' "$out/lintian.log"; then
    fail "lintian reports missing hardening:
$(grep 'hardening-' "$out/lintian.log")"
fi
echo "PASS: lintian reports no error, no warning and no missing hardening"
