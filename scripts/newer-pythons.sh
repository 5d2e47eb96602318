#!/usr/bin/env bash
# CPython 3.14 and 3.15 for this machine, from Debian's testing suite, in a
# chroot: their glibc is newer than the host's, so they cannot run outside it.
#
#   scripts/newer-pythons.sh root          make the chroot if needed, print its path
#   scripts/newer-pythons.sh run CMD...    run CMD in the chroot, in the current
#                                          directory, as root
#   scripts/newer-pythons.sh include VER   print the path of VER's C headers
#                                          (for building on the host)
#
# The chroot is made once (about two minutes) and reused by every checkout on
# the machine: ARBOLUS_CHROOT names it, /var/tmp/arbolus-forky by default.
# When PACKAGES names a package the chroot lacks, the next call installs it
# there (the chroot is not made again).
# The mirror is the one the host's own apt sources use. Each `run` mounts
# /proc, /dev and the current checkout in a private mount namespace, so
# nothing stays mounted once it returns and removing the chroot can never
# reach into a checkout.
set -euo pipefail

CHROOT=${ARBOLUS_CHROOT:-/var/tmp/arbolus-forky}
SUITE=forky
# python3.14-dbg: the debug interpreter of `make test-refleaks`.
PACKAGES="python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ cmake make git valgrind ca-certificates python3.14-dbg"
# The chroot is made once its stamp exists; the stamp holds the packages it
# was made with, and ADDED those installed into it since. A checkout whose
# list the chroot already covers changes neither.
STAMP="$CHROOT/.arbolus-ready"
ADDED="$CHROOT/.arbolus-added"
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

die() { echo "newer-pythons: $*" >&2; exit 1; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The first Debian archive the host's apt uses (not the security archive).
# Either kind of source file may be missing (grep then fails, which
# pipefail would pass on).
host_mirror() {
    local uri
    uri=$( { grep -hE '^[[:space:]]*URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
                 | awk '{print $2}';
             grep -hE '^[[:space:]]*deb[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
                 | sed -E 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//' | awk '{print $1}';
           } | grep -v -- '-security' | head -n 1) || true
    [ -n "$uri" ] || die "no Debian mirror found in the host's apt sources"
    printf '%s\n' "$uri"
}

# Runs "$@" inside the chroot with /proc, /dev and the checkout mounted.
# PIP_* and the CA variables of the environment pass through unchanged.
in_chroot() {
    local cwd
    cwd=$(pwd)
    as_root unshare --mount --propagation private env \
        CHROOT="$CHROOT" ROOT="$ROOT" CWD="$cwd" bash -euc '
        mount -t proc proc "$CHROOT/proc"
        mount --rbind /dev "$CHROOT/dev"
        mkdir -p "$CHROOT$ROOT"
        mount --bind "$ROOT" "$CHROOT$ROOT"
        if [ "$CWD" != "$ROOT" ] && [ "${CWD#"$ROOT"/}" = "$CWD" ]; then
            mkdir -p "$CHROOT$CWD"
            mount --bind "$CWD" "$CHROOT$CWD"
        fi
        cd "$CHROOT$CWD"
        exec env PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root DEBIAN_FRONTEND=noninteractive \
            chroot "$CHROOT" bash -c "cd \"\$0\" && exec \"\$@\"" "$CWD" "$@"
    ' bash "$@"
}

make_chroot() {
    command -v debootstrap >/dev/null || {
        echo "newer-pythons: installing debootstrap" >&2
        as_root apt-get update -qq
        DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq debootstrap >/dev/null
    }
    local script=/usr/share/debootstrap/scripts/sid mirror
    [ -e "$script" ] || die "debootstrap has no sid script"
    mirror=$(host_mirror)
    echo "newer-pythons: making $CHROOT from $mirror ($SUITE)" >&2
    as_root rm -rf "$CHROOT"
    as_root mkdir -p "$CHROOT"
    as_root debootstrap --variant=minbase "$SUITE" "$CHROOT" "$mirror" "$script" >&2
    # The suite's release file can be past its Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' | as_root tee "$CHROOT/etc/apt/apt.conf.d/99no-valid-until" >/dev/null
    # The chroot's own CA bundle may not verify the package index here.
    local f
    for f in /etc/ssl/certs/ca-certificates.crt /etc/pip.conf; do
        [ -e "$f" ] || continue
        as_root mkdir -p "$CHROOT$(dirname "$f")"
        as_root cp -L "$f" "$CHROOT$f"
    done
    in_chroot apt-get update -qq
    in_chroot apt-get install -y -qq --no-install-recommends $PACKAGES >/dev/null
    # ca-certificates regenerates the bundle on install; keep the host's.
    as_root cp -L /etc/ssl/certs/ca-certificates.crt "$CHROOT/etc/ssl/certs/ca-certificates.crt"
    echo "$PACKAGES" | as_root tee "$STAMP" >/dev/null
    echo "newer-pythons: ready" >&2
}

# The packages of PACKAGES that the chroot lacks, on one line (empty when
# it has them all).
missing() {
    local have p out=()
    have=" $(cat "$STAMP" "$ADDED" 2>/dev/null | tr '\n' ' ') "
    for p in $PACKAGES; do
        [ "${have#* "$p" }" != "$have" ] || out+=("$p")
    done
    printf '%s\n' "${out[*]}"
}

add_packages() {
    local need
    need=$(missing)
    echo "newer-pythons: adding $need to $CHROOT" >&2
    in_chroot apt-get update -qq
    in_chroot apt-get install -y -qq --no-install-recommends $need >/dev/null
    as_root cp -L /etc/ssl/certs/ca-certificates.crt "$CHROOT/etc/ssl/certs/ca-certificates.crt"
    echo "$need" | as_root tee -a "$ADDED" >/dev/null
    echo "newer-pythons: ready" >&2
}

ready() {
    [ -f "$STAMP" ] && [ -z "$(missing)" ]
}

# Made once, completed when the list grew; a second caller waits for the
# first instead of racing it.
ensure() {
    ready && return
    as_root mkdir -p "$(dirname "$CHROOT")"
    exec 9>"$CHROOT.lock"
    flock 9
    if [ ! -f "$STAMP" ]; then
        make_chroot
    elif ! ready; then
        add_packages
    fi
    flock -u 9
    exec 9>&-
}

case "${1:-}" in
    root)
        ensure
        printf '%s\n' "$CHROOT"
        ;;
    run)
        shift
        [ $# -gt 0 ] || die "run needs a command"
        ensure
        in_chroot "$@"
        ;;
    include)
        [ $# -eq 2 ] || die "usage: $0 include 3.14"
        ensure
        inc="$CHROOT/usr/include/python$2"
        [ -f "$inc/Python.h" ] || die "no headers for python$2 in $CHROOT"
        printf '%s\n' "$inc"
        ;;
    *)
        sed -n '2,18p' "$0" >&2
        exit 2
        ;;
esac
