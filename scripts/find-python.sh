#!/usr/bin/env bash
# Print the absolute path of a CPython >= 3.11 interpreter in its default
# (GIL) build, 3.13 or later preferred; with $PYVER set (3.12, say), of that
# version only. PYVER=3.13t asks for the free-threaded build of 3.13: $PYTHON
# if set, else python3.13t on PATH, else the one scripts/free-threaded-python.sh
# caches (made when missing, which takes a while). Otherwise, order of
# preference:
#   1. $PYTHON, if set (no fallback: a bad $PYTHON is an error)
#   2. python3.14, python3.13 on PATH, if they actually run
#      (a pyenv shim for a version that is not selected exits non-zero)
#   3. $PYENV_ROOT/versions/*/bin/python3 (or `pyenv root`, or ~/.pyenv), newest first
#   4. /usr/bin/python3.13, /usr/bin/python3.14, then python3 on PATH
set -u

MSG='error: need CPython >= 3.11 (GIL build); set PYTHON=/path/to/python3.13'

# Prints sys.executable and succeeds only for a suitable interpreter: of
# $PYVER when set, else 3.13 or later (MIN), else, last, any supported one.
MIN=13
[ -n "${PYVER:-}${PYTHON:-}" ] && MIN=11
probe() {
    PYVER="${PYVER:-}" MIN="$MIN" "$1" - <<'PY' 2>/dev/null
import os, sys, sysconfig
want = os.environ["PYVER"]
free = want.endswith("t")
ok = (sys.implementation.name == "cpython"
      and sys.version_info >= (3, int(os.environ["MIN"]))
      and (not want or "%d.%d" % sys.version_info[:2] == want.rstrip("t"))
      and bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == free)
if not ok:
    sys.exit(1)
print(sys.executable)
PY
}

try() {
    local out
    out=$(probe "$1") && [ -n "$out" ] && { printf '%s\n' "$out"; exit 0; }
    return 1
}

if [ -n "${PYTHON:-}" ]; then
    try "$PYTHON"
    case "${PYVER:-}" in
        *t) echo "error: PYTHON=$PYTHON is not a working free-threaded CPython $PYVER" >&2 ;;
        *) echo "error: PYTHON=$PYTHON is not a working CPython >= 3.11 (GIL build)" >&2 ;;
    esac
    exit 1
fi

case "${PYVER:-}" in
    *t)
        command -v "python$PYVER" >/dev/null 2>&1 && try "python$PYVER"
        exe=$("$(dirname "${BASH_SOURCE[0]}")/free-threaded-python.sh" "${PYVER%t}") && try "$exe"
        echo "error: no free-threaded CPython ${PYVER%t} (scripts/free-threaded-python.sh ${PYVER%t} makes one)" >&2
        exit 1
        ;;
esac

for name in ${PYVER:+python$PYVER} python3.14 python3.13; do
    if command -v "$name" >/dev/null 2>&1; then
        try "$name"
    fi
done

roots=()
[ -n "${PYENV_ROOT:-}" ] && roots+=("$PYENV_ROOT")
if command -v pyenv >/dev/null 2>&1; then
    r=$(pyenv root 2>/dev/null) && [ -n "$r" ] && roots+=("$r")
fi
roots+=("$HOME/.pyenv")
for root in "${roots[@]}"; do
    [ -d "$root/versions" ] || continue
    # Newest version first; free-threaded builds (e.g. 3.13.0t) fail the probe.
    while IFS= read -r v; do
        [ -x "$root/versions/$v/bin/python3" ] && try "$root/versions/$v/bin/python3"
    done < <(ls -1 "$root/versions" 2>/dev/null | sort -rV)
done

for cand in ${PYVER:+/usr/bin/python$PYVER} /usr/bin/python3.13 /usr/bin/python3.14; do
    [ -x "$cand" ] && try "$cand"
done
if command -v python3 >/dev/null 2>&1; then
    try python3
    MIN=11
    try python3
fi

echo "$MSG" >&2
exit 1
