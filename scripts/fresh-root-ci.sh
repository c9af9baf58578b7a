#!/usr/bin/env bash
# Runs .ci/run in a brand-new Debian 12 root, as CI would on a new machine. A developer's machine
# (and CI's, which is reused) has more installed than a new one, so a green run there can hide a
# package missing from scripts/packages.txt; this proves the project installs all it needs.
#
# usage: sudo scripts/fresh-root-ci.sh [REF | PATH]
#   REF   a commit or branch of this repository (default: main, as committed)
#   PATH  a repository or worktree to clone instead; its checked-out commit is tested
# VORLUND_CI_COMMAND runs another command there instead of .ci/run, such as the set-up and build
# of README's first command:
#   VORLUND_CI_COMMAND='VORLUND_TARGETS="vorlund_app_exe vorlund-daemon" ./scripts/build.sh'
#
# Each run unpacks a pristine root (debootstrap's minimal base with git, ca-certificates and
# sudo, kept as a tarball after the first run), clones the commit into it and runs .ci/run there
# as root. Roots and logs live in $VORLUND_CI_ROOTS (default /work/ci-roots). KEEP_ROOT=1 keeps
# the root after the run, to look into a failure; REFRESH_ROOT=1 makes the tarball anew.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
roots=${VORLUND_CI_ROOTS:-/work/ci-roots}
# This machine's mirror and suites (updates, security), so that both install the same versions.
sources=/etc/apt/sources.list.d/debian.sources
mirror=$(awk '$1 == "URIs:" { print $2; exit }' "$sources")
pristine=$roots/bookworm-minbase.tar

[ "$(id -u)" -eq 0 ] || { echo "needs root (debootstrap, mount, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap

# What to test: a path is cloned as it is; anything else is a commit of this repository.
target=${1:-main}
if [ -d "$target" ]; then src=$target ref=HEAD; else src=$repo ref=$target; fi
commit=$(git -C "$src" rev-parse --verify "$ref^{commit}")

mkdir -p "$roots"
if [ ! -f "$pristine" ] || [ -n "${REFRESH_ROOT:-}" ]; then
    echo "== making the pristine root (once)"
    fresh=$(mktemp -d "$roots/pristine.XXXX")
    chmod 755 "$fresh" # it becomes /, which every user must be able to enter
    debootstrap --variant=minbase --include=git,ca-certificates,sudo bookworm "$fresh" "$mirror"
    rm -f "$fresh/etc/apt/sources.list"
    cp "$sources" "$fresh/etc/apt/sources.list.d/"
    # The mirror here serves a dated snapshot, whose Release files have expired.
    cp /etc/apt/apt.conf.d/99artifact-registry "$fresh/etc/apt/apt.conf.d/" 2>/dev/null || true
    # Numeric owners: the root's system users need not have this machine's ids.
    tar -C "$fresh" --numeric-owner -cf "$pristine.tmp" . && mv "$pristine.tmp" "$pristine"
    rm -rf --one-file-system "$fresh"
fi

run=$roots/run-$(date +%Y%m%d-%H%M%S)
root=$run.root
log=$run.log
mkdir "$root"

# Stops what the run left behind inside the root, unmounts, and removes the root unless asked
# to keep it; never removes anything while a mount is still below it.
cleanup() {
    for proc in /proc/[0-9]*; do
        if [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ]; then
            kill -9 "${proc#/proc/}" 2>/dev/null || true
        fi
    done
    sleep 1
    if mountpoint -q "$root"; then umount -R "$root" || true; fi
    if findmnt -rn -o TARGET | grep -q "^$root\(/\|$\)"; then
        echo "left $root: still mounted below it" >&2
    elif [ -z "${KEEP_ROOT:-}" ]; then
        rm -rf --one-file-system "$root"
    else
        echo "kept $root"
    fi
}
trap cleanup EXIT

tar -C "$root" --numeric-owner -xf "$pristine"
cp /etc/resolv.conf "$root/etc/resolv.conf"
git -c advice.detachedHead=false clone --quiet --no-hardlinks "$src" "$root/work/vorlund"
git -C "$root/work/vorlund" checkout --quiet --detach "$commit"

# The root is a mount point of its own, as / is on a machine (tests make it private in a mount
# namespace). Qt, the leak checker and dpkg need /proc, /dev and /sys; rslave keeps the unmount
# at the end from reaching this machine's own mounts.
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
for mnt in dev sys; do
    mount --rbind "/$mnt" "$root/$mnt"
    mount --make-rslave "$root/$mnt"
done

what=${VORLUND_CI_COMMAND:-.ci/run}
echo "== $what of $commit in $root (log: $log)"
echo "load at the start: $(uptime)" | tee "$log"
start=$SECONDS
status=0
# As CI runs it: as root, CI=true, no standard input, a plain environment.
chroot "$root" /usr/bin/env -i CI=true HOME=/root LANG=C.UTF-8 \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /work/vorlund && ${VORLUND_CI_COMMAND:-bash .ci/run}" </dev/null >>"$log" 2>&1 ||
    status=$?
elapsed=$((SECONDS - start))
echo "load at the end: $(uptime)" | tee -a "$log"

echo "== last lines"
tail -n 30 "$log"
echo "== $what exited $status after $((elapsed / 60)) min $((elapsed % 60)) s (log: $log)"
exit "$status"
