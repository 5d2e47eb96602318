#!/usr/bin/env bash
# CPython's free-threaded build (configure --disable-gil) for this machine.
# Neither PyPI nor Debian ships one, so it is built here, on the host, from
# the upstream tree in Debian testing's source package of that version,
# fetched in the chroot of scripts/newer-pythons.sh (Debian's patches are
# not applied).
#
#   scripts/free-threaded-python.sh             3.13t, made when missing: its
#                                               interpreter's path on stdout;
#                                               then 3.14t the same way
#   scripts/free-threaded-python.sh 3.13        that version only
#   scripts/free-threaded-python.sh --with-thread-sanitizer 3.13
#                                               the same interpreter built with
#                                               ThreadSanitizer, cached apart
#   scripts/free-threaded-python.sh --fetch-only 3.14
#                                               download and verify the source
#                                               only (nothing on stdout)
#
# A version whose source the mirror does not serve is said so in one line on
# stderr, and the call fails (the default call only when 3.13 fails).
# The build (about 15 minutes of `make -j2`, 0.43 GB installed) is cached
# outside the checkout and shared by every checkout on the machine: in
# $ARBOLUS_FT_CACHE/arbolus-py313t (or arbolus-py313t-tsan), /var/tmp by
# default; its source tree, logs and a status file ("running", then
# "done EXIT") in arbolus-py313t-build beside it. JOBS=N sets make's -j.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${ARBOLUS_FT_CACHE:-/var/tmp}
JOBS=${JOBS:-$(nproc)}
# In the chroot; kept there, so a second build needs no download.
SRC_DIR=/srv/src

say() { echo "free-threaded-python: $*" >&2; }
die() { say "$*"; exit 1; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The interpreter of a finished build, when it runs and is what was asked
# for: free-threaded, and instrumented when the TSan build was asked for.
installed() {
    local prefix=$1 v=$2 tsan=$3 exe
    for exe in "$prefix/bin/python${v}t" "$prefix/bin/python$v"; do
        [ -x "$exe" ] || continue
        TSAN_OPTIONS=report_bugs=0 "$exe" - "$tsan" <<'PY' 2>/dev/null || continue
import sys, sysconfig
ok = sysconfig.get_config_var("Py_GIL_DISABLED") == 1
tsan = "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or "")
sys.exit(0 if ok and tsan == (sys.argv[1] == "1") else 1)
PY
        printf '%s\n' "$exe"
        return 0
    done
    return 1
}

# The chroot's apt gets source lines for the suite and mirror of its binary
# lines, once.
ensure_deb_src() {
    local chroot=$1 list="$1/etc/apt/sources.list" line
    grep -qE '^[[:space:]]*deb-src[[:space:]]' "$list" 2>/dev/null && return 1
    line=$(grep -m1 -E '^[[:space:]]*deb[[:space:]]' "$list") ||
        die "no deb line in $list to take the mirror from"
    say "adding source lines to $list"
    printf '%s\n' "$(sed -E 's/^[[:space:]]*deb[[:space:]]/deb-src /' <<<"$line")" |
        as_root tee -a "$list" >/dev/null
    return 0
}

# Downloads python$v's source package into the chroot's $SRC_DIR (apt checks
# every file against the signed index) and checks the upstream tarball
# against the .dsc once more here. Prints the tarball's host path; fails,
# saying so in one line, when the mirror does not serve it.
fetch() {
    local v=$1 chroot log dsc tarball want have
    chroot=$("$ROOT/scripts/newer-pythons.sh" root)
    log=$(mktemp)
    # The checkout is where the chroot's `run` mounts itself.
    cd "$ROOT"
    local get="mkdir -p $SRC_DIR && cd $SRC_DIR && apt-get source --download-only -qq python$v"
    if ensure_deb_src "$chroot"; then
        "$ROOT/scripts/newer-pythons.sh" run apt-get update -qq >"$log" 2>&1 || true
    fi
    if ! "$ROOT/scripts/newer-pythons.sh" run bash -c "$get" >"$log" 2>&1; then
        # The index may be older than the mirror's files.
        "$ROOT/scripts/newer-pythons.sh" run apt-get update -qq >/dev/null 2>&1 || true
        if ! "$ROOT/scripts/newer-pythons.sh" run bash -c "$get" >"$log" 2>&1; then
            say "python$v: the mirror does not serve its source ($( { grep -m1 -E '^E:' "$log" || echo "apt-get source failed"; } | sed -E 's/ *\[IP:[^]]*\]//; s/  +/ /g'))"
            rm -f "$log"
            return 1
        fi
    fi
    rm -f "$log"
    dsc=$(ls "$chroot$SRC_DIR"/python"$v"_*.dsc 2>/dev/null | sort -V | tail -n 1)
    [ -n "$dsc" ] || die "python$v: apt-get source left no .dsc in $chroot$SRC_DIR"
    tarball=$(awk '/^Checksums-Sha256:/ {on=1; next} /^[^ ]/ {on=0} on && $3 ~ /\.orig\.tar\./ {print $3}' "$dsc")
    want=$(awk -v f="$tarball" '/^Checksums-Sha256:/ {on=1; next} /^[^ ]/ {on=0} on && $3 == f {print $1}' "$dsc")
    [ -n "$tarball" ] && [ -n "$want" ] || die "python$v: no upstream tarball listed in $dsc"
    have=$(sha256sum "$chroot$SRC_DIR/$tarball" | awk '{print $1}')
    [ "$have" = "$want" ] || die "python$v: $tarball does not match the checksum in $(basename "$dsc")"
    printf '%s\n' "$chroot$SRC_DIR/$tarball"
}

# Configure, build and install into $prefix, from a fresh tree.
build() {
    local v=$1 tsan=$2 prefix=$3 tarball=$4 work="$3-build" src rc=0
    local flags=(--disable-gil "--prefix=$prefix" --with-ensurepip=install)
    [ "$tsan" = 1 ] && flags+=(--with-thread-sanitizer)
    mkdir -p "$work"
    rm -rf "$work"/Python-* "$prefix"
    tar -xJf "$tarball" -C "$work"
    src=$(ls -d "$work"/Python-*/ | head -n 1)
    say "building $(basename "$src") with ${flags[*]} in $work (logs there; about 15 minutes)"
    echo running >"$work/status"
    # The TSan build runs its own interpreter (byte-compiling, ensurepip),
    # whose reports are not this build's concern.
    (
        cd "$src"
        [ "$tsan" = 1 ] && export TSAN_OPTIONS=report_bugs=0:exitcode=0
        ./configure "${flags[@]}" >"$work/configure.log" 2>&1
        make -j"$JOBS" >"$work/make.log" 2>&1
        make install >"$work/install.log" 2>&1
    ) || rc=$?
    echo "done $rc" >"$work/status"
    [ "$rc" -eq 0 ] || die "the build failed ($rc); see $work/*.log"
}

# Prints the interpreter's path; makes it first when missing.
ensure() {
    local v=$1 tsan=$2 prefix exe tarball
    prefix="$CACHE/arbolus-py${v/./}t"
    [ "$tsan" = 0 ] || prefix+=-tsan
    if exe=$(installed "$prefix" "$v" "$tsan"); then
        printf '%s\n' "$exe"
        return 0
    fi
    mkdir -p "$CACHE"
    # One builder per cache; a second caller waits and then finds it made.
    exec 9>"$prefix.lock"
    flock 9
    if ! exe=$(installed "$prefix" "$v" "$tsan"); then
        tarball=$(fetch "$v") || { exec 9>&-; return 1; }
        build "$v" "$tsan" "$prefix" "$tarball"
        exe=$(installed "$prefix" "$v" "$tsan") ||
            die "$prefix holds no working free-threaded python$v after the build"
    fi
    exec 9>&-
    printf '%s\n' "$exe"
}

tsan=0
fetch_only=0
while [ $# -gt 0 ]; do
    case "$1" in
        --with-thread-sanitizer) tsan=1; shift ;;
        --fetch-only) fetch_only=1; shift ;;
        3.1[3-9]) break ;;
        *) sed -n '2,25p' "$0" >&2; exit 2 ;;
    esac
done

if [ $# -eq 0 ]; then
    [ "$fetch_only" = 0 ] || { sed -n '2,25p' "$0" >&2; exit 2; }
    ensure 3.13 "$tsan"
    ensure 3.14 "$tsan" || true
elif [ "$fetch_only" = 1 ]; then
    fetch "$1" >/dev/null
else
    ensure "$1" "$tsan"
fi
