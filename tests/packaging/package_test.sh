#!/usr/bin/env bash
# Builds the Debian package from an already built tree and checks what a user would get from it:
# the files, the control fields and dependencies, and the desktop integration files as installed.
# Usage: package_test.sh <cmake> <cpack> <build dir> <project version>
set -uo pipefail
cmake=$1 cpack=$2 build=$3 version=$4

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CACHE_HOME=$work/cache XDG_DATA_HOME=$work/data

failures=0
pass() { echo "ok - $1"; }
fail() {
    echo "not ok - $1"
    failures=$((failures + 1))
}
check() { # check <description> <command...>
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# --- the package ---------------------------------------------------------------------------

arch=$(dpkg --print-architecture)
# For a Makefile tree cpack first makes the "preinstall" target, that is, builds the whole tree,
# which could relink a test program while another test runs it. Naming a generator without that
# step makes it pack the tree as it is; the install rules and package settings stay the same.
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" -D CPACK_CMAKE_GENERATOR=Ninja \
    >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "not ok - cpack builds the package"
    exit 1
fi
deb=$work/out/vorlund_${version}_${arch}.deb
if [ ! -f "$deb" ]; then
    echo "not ok - package file is named vorlund_${version}_${arch}.deb; made:"
    ls "$work/out"
    exit 1
fi
pass "package file vorlund_${version}_${arch}.deb"

field() { dpkg-deb -f "$deb" "$1"; }

# field|expected value
while IFS='|' read -r name expected; do
    actual=$(field "$name")
    check "control field $name is '$expected' (got '$actual')" [ "$actual" = "$expected" ]
done <<EOF
Package|vorlund
Version|$version
Architecture|$arch
EOF

# One name per line, version constraints and alternatives removed.
depends=$(field Depends | tr ',|' '\n\n' | sed -E 's/\(.*\)//; s/[[:space:]]//g' | sed '/^$/d')

# What the program only loads at run time, which dpkg-shlibdeps cannot see.
while read -r pkg; do
    check "Depends names $pkg" grep -qx "$pkg" <<<"$depends"
done <<'EOF'
qml6-module-qtquick
qml6-module-qtquick-controls
qml6-module-qtquick-layouts
qml6-module-qtquick-window
qml6-module-qtquick-templates
qml6-module-qtqml-workerscript
libqt6svg6
EOF

# A misspelt dependency makes the package uninstallable; everything it needs is on a build machine.
installed() { dpkg-query -W "$1" >/dev/null 2>&1; }
while read -r pkg; do
    check "dependency $pkg is a real, installed package" installed "$pkg"
done <<<"$depends"

# path|mode the file must have
listing=$(dpkg-deb -c "$deb")
while IFS='|' read -r path mode; do
    line=$(awk -v p="./$path" '$6 == p' <<<"$listing")
    check "package holds /$path" [ -n "$line" ]
    [ -n "$line" ] && check "/$path has mode $mode" [ "${line%% *}" = "$mode" ]
done <<'EOF'
usr/bin/vorlund|-rwxr-xr-x
usr/bin/vorlund-demo-daemon|-rwxr-xr-x
usr/share/applications/org.vorlund.client.desktop|-rw-r--r--
usr/share/icons/hicolor/scalable/apps/org.vorlund.client.svg|-rw-r--r--
usr/share/metainfo/org.vorlund.client.metainfo.xml|-rw-r--r--
usr/share/doc/vorlund/copyright|-rw-r--r--
EOF

# Every shared library a packaged program links must come from a declared dependency, and the
# programs, installed beside the system's libraries, need no run path of their own.
dpkg-deb -x "$deb" "$work/pkgroot"
# The owner of the copy for this machine's architecture: with multilib packages installed
# (clang's runtimes bring libc6-i386), a bare name also matches the /lib32 copies.
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
owner() { dpkg -S "/lib/$triplet/$1" "/usr/lib/$triplet/$1" 2>/dev/null | head -n1 | cut -d: -f1; }
for program in vorlund vorlund-demo-daemon; do
    binary=$work/pkgroot/usr/bin/$program
    [ -f "$binary" ] || continue
    dynamic=$(readelf -d "$binary")
    for soname in $(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic"); do
        pkg=$(owner "$soname")
        check "$program's $soname comes from a dependency (${pkg:-no package})" \
            grep -qx "${pkg:-?}" <<<"$depends"
    done
    check "$program has no run path" bash -c '! grep -qE "RPATH|RUNPATH" <<<"$1"' _ "$dynamic"
done

# --- the installed tree ----------------------------------------------------------------------

root=$work/root
if ! DESTDIR=$root "$cmake" --install "$build" --prefix /usr >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    fail "cmake --install into a staging root"
fi
share=$root/usr/share
desktop=$share/applications/org.vorlund.client.desktop
metainfo=$share/metainfo/org.vorlund.client.metainfo.xml
icon=$share/icons/hicolor/scalable/apps/org.vorlund.client.svg

validated() { # validated <log> <command...>: the command succeeds and reports no warning
    local log=$1
    shift
    "$@" >"$log" 2>&1 && ! grep -qiE 'warning|error' "$log" || {
        cat "$log"
        return 1
    }
}
check "desktop-file-validate accepts the desktop entry" \
    validated "$work/desktop.log" desktop-file-validate "$desktop"
check "appstreamcli accepts the metainfo" \
    validated "$work/appstream.log" appstreamcli validate --no-net "$metainfo"
check "the icon is well-formed SVG" xmllint --noout "$icon"

entry() { sed -n "s/^$1=//p" "$desktop"; }
exec_program=$(entry Exec | awk '{print $1}')
check "the desktop entry starts an installed program ($exec_program)" \
    [ -n "$exec_program" -a -x "$root/usr/bin/$exec_program" ]
icon_name=$(entry Icon)
check "the desktop entry's icon ($icon_name) is installed" \
    [ -n "$icon_name" -a -f "$share/icons/hicolor/scalable/apps/$icon_name.svg" ]

xpath() { xmllint --xpath "string($1)" "$metainfo" 2>/dev/null; }
check "the metainfo's release is version $version ($(xpath '//releases/release[1]/@version'))" \
    [ "$(xpath '//releases/release[1]/@version')" = "$version" ]
check "the metainfo launches the installed desktop entry" \
    [ "$(xpath '//launchable[@type="desktop-id"]')" = "$(basename "$desktop")" ]
check "the metainfo's id is the application id" [ "$(xpath '/component/id')" = org.vorlund.client ]

[ "$failures" -eq 0 ] || {
    echo "$failures check(s) failed"
    exit 1
}
echo "all checks passed"
