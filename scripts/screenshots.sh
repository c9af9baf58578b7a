#!/usr/bin/env bash
# Renders the window on a private X server in the desktop's light and dark palettes (the GTK
# theme Adwaita and Adwaita:dark, read through Qt's gtk3 platform theme), at scale 1 and 2,
# and writes PNG files to docs/screenshots/.
#
# Each shot drives the real window by keyboard, as a user would: it types the daemon URL,
# sends with Ctrl+Return and waits for the answer. The "-signed" shots talk to vorlund-daemon
# directly; the others go through scripts/tamper-proxy.py, which alters the answer's text, so
# that the red badge, the pinch id, the result row and the error line are all in view.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VORLUND_BUILD_DIR:-$root/build}
out=$root/docs/screenshots
"$root/scripts/build.sh"

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# waits up to five seconds for a file to have content
await() { for _ in $(seq 50); do [ -s "$1" ] && return 0; sleep 0.1; done; return 1; }

# The window makes its key here, never in the user's own data directory.
export XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"

Xvfb -displayfd 3 -screen 0 1600x1400x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
pids+=($!)
await "$work/display"
export DISPLAY=:$(cat "$work/display")

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$build/tools/vorlund-daemon/vorlund-daemon" --port "$port" >"$work/daemon" &
pids+=($!)
await "$work/daemon"
daemon_url=http://127.0.0.1:$port/pinch

python3 "$root/scripts/tamper-proxy.py" "$daemon_url" >"$work/proxy" &
pids+=($!)
await "$work/proxy"
proxy_url=$(cat "$work/proxy")

# shot NAME GTK_THEME SCALE DAEMON_URL
shot() {
    local name=$1 theme=$2 scale=$3 url=$4 app window
    QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=$theme QT_SCALE_FACTOR=$scale \
        "$build/src/ui/vorlund" 2>/dev/null &
    app=$!
    window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Merrowin — M0$' | head -1)
    sleep 1 # the key is published and the first frame drawn
    xdotool windowfocus --sync "$window"
    # Focus starts in the prompt editor; the URL field is one step back.
    xdotool key shift+Tab ctrl+a
    xdotool type --delay 5 "$url"
    xdotool key Tab ctrl+Return
    xdotool mousemove 1590 1390 # no hover effects, no tooltips
    sleep 2 # the answer arrives and is drawn
    import -window "$window" "$out/$name.png"
    kill "$app"
    wait "$app" 2>/dev/null || true
    echo "wrote docs/screenshots/$name.png"
}

mkdir -p "$out"
shot light Adwaita 1 "$proxy_url"
shot dark Adwaita:dark 1 "$proxy_url"
shot light@2x Adwaita 2 "$proxy_url"
shot dark@2x Adwaita:dark 2 "$proxy_url"
shot light-signed Adwaita 1 "$daemon_url"
shot dark-signed Adwaita:dark 1 "$daemon_url"
