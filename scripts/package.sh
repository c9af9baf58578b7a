#!/usr/bin/env bash
# Builds the Debian package into build/ (or $VORLUND_BUILD_DIR) and prints its path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
# Only the package's path goes to standard output, so that `apt-get install "$(…)"` works.
"$root/scripts/build.sh" >&2
out=$(cd "$build" && cpack -G DEB)
deb=$(sed -n 's/^CPack: - package: \(.*\.deb\) generated\.$/\1/p' <<<"$out")
if [ -z "$deb" ]; then
    echo "$out" >&2
    echo "cpack made no .deb" >&2
    exit 1
fi
echo "$deb"
