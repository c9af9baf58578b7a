#!/usr/bin/env bash
# What only the package itself can get wrong: it installs (every dependency names a real
# package, and every library the programs link comes from one of them), the installed desktop
# files and the daemon's user unit validate, every program has a readable manual page and the
# changelog is the release's.
# Usage: package_test.sh <cmake> <cpack> <build dir> <project version>
set -uo pipefail
cmake=$1 cpack=$2 build=$3 version=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CACHE_HOME=$work/cache
failures=0
check() { # check <description> <command...>
    if "${@:2}"; then echo "ok - $1"; else echo "not ok - $1"; failures=$((failures + 1)); fi
}

# Naming the Ninja generator packs the tree as built instead of building it again first.
"$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" -D CPACK_CMAKE_GENERATOR=Ninja \
    >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
deb=$work/out/vorlund_${version}_$(dpkg --print-architecture).deb
check "cpack made $(basename "$deb")" test -f "$deb" || exit 1

depends=$(dpkg-deb -f "$deb" Depends | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/[[:space:]]//g; /^$/d')
for pkg in $depends; do
    check "dependency $pkg is a real package" dpkg-query -W "$pkg"
done
# What the window loads at run time is invisible to dpkg-shlibdeps.
for pkg in qml6-module-qtquick-controls qml6-module-qtquick-layouts libqt6svg6; do
    check "Depends names $pkg" grep -qx "$pkg" <<<"$depends"
done
dpkg-deb -x "$deb" "$work/root"
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for program in vorlund vorlund-daemon; do
    for soname in $(readelf -d "$work/root/usr/bin/$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        pkg=$(dpkg -S "/lib/$triplet/$soname" "/usr/lib/$triplet/$soname" 2>/dev/null | head -n1 | cut -d: -f1)
        check "$program's $soname comes from a dependency (${pkg:-none})" grep -qx "${pkg:-?}" <<<"$depends"
    done
done

share=$work/root/usr/share
desktop=$share/applications/org.vorlund.client.desktop
for program in $(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop"); do # the entry's and its actions'
    check "the desktop entry starts an installed program ($program)" test -x "$work/root/usr/bin/$program"
done
check "the desktop entry's icon is installed" \
    test -f "$share/icons/hicolor/scalable/apps/$(sed -n 's/^Icon=//p' "$desktop").svg"
quiet() { "$@" >"$work/log" 2>&1 && ! grep -qiE 'warning|error' "$work/log" || { cat "$work/log"; false; }; }
check "the desktop entry validates" quiet desktop-file-validate "$desktop"
check "the metainfo validates" quiet appstreamcli validate --no-net "$share/metainfo/org.vorlund.client.metainfo.xml"
check "the icon is well-formed SVG" xmllint --noout "$share/icons/hicolor/scalable/apps/org.vorlund.client.svg"
check "the metainfo's release is $version" grep -q "<release version=\"$version\"" "$share/metainfo/org.vorlund.client.metainfo.xml"
for program in $(ls "$work/root/usr/bin"); do
    check "$program's manual page reads without warnings" test -z "$(LC_ALL=C.UTF-8 MANWIDTH=80 \
        man --warnings -E UTF-8 -l -Tutf8 -Z "$share/man/man1/$program.1.gz" 2>&1 >/dev/null)"
done
check "the changelog's latest entry is $version" test "$(zcat "$share/doc/vorlund/changelog.gz" |
    dpkg-parsechangelog -l - -S Version)" = "$version"
check "the README is installed" test -s "$share/doc/vorlund/README"
check "the vectors are installed next to the protocol" test -s "$share/doc/vorlund/canonical.json"
# systemd-analyze wants the unit's program on this system: point the unit at the package's.
unit=$work/root/usr/lib/systemd/user/vorlund-daemon.service
sed "s#^ExecStart=#ExecStart=$work/root/usr/bin/#" "$unit" >"$work/vorlund-daemon.service"
mkdir -m 700 "$work/runtime"
# It reports a key it cannot parse, and goes on.
said=$(XDG_RUNTIME_DIR="$work/runtime" systemd-analyze --user verify --man=no "$work/vorlund-daemon.service" 2>&1)
check "the user unit verifies${said:+: $said}" test -z "$said"
options=$(sed -n 's/^ExecStart=.*\$\([A-Z_]*\).*/\1/p' "$unit")
check "the example options file sets what the unit reads (${options:-nothing})" \
    grep -q "^#$options=\"--model-server" "$share/doc/vorlund/daemon.conf.example"
[ "$failures" -eq 0 ]
