#!/bin/sh
# Installs the package with pip into a scratch virtual environment and checks
# that the module imports and that mypy there finds the installed stubs.
#
#   scripts/check-package.sh [PYTHON] [SCRATCH_DIR]
#
# Works offline: the environment sees the system's setuptools and mypy
# (--system-site-packages) and pip builds without isolation.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
python=${1:-${PYTHON:-/usr/bin/python3}}
scratch=${2:-$(mktemp -d)}
venv="$scratch/venv"

rm -rf "$venv"
"$python" -m venv --system-site-packages "$venv"
"$venv/bin/pip" install --quiet --no-build-isolation "$root"
"$venv/bin/pip" wheel --quiet --no-build-isolation --no-deps -w "$scratch/wheel" "$root"
"$venv/bin/python" -m zipfile -l "$scratch"/wheel/quorvel-*.whl | grep -q 'quorvel-stubs/__init__.pyi'

cat > "$scratch/use_quorvel.py" <<'PY'
from quorvel import Graph, Variable

rows = Graph().query().create(node="p", type=Variable("Person")).return_("p")
count: int = len(rows)
wrong: int = Variable("A").uid()  # the stubs say str: mypy must refuse this line
PY
cd "$scratch"
env -u PYTHONPATH -u MYPYPATH "$venv/bin/python" -c 'import quorvel; print("imported", quorvel.__file__)'
if env -u PYTHONPATH -u MYPYPATH "$venv/bin/python" -m mypy --no-incremental use_quorvel.py > mypy.out; then
    echo "mypy accepted a wrongly typed line: the installed stubs were not found"; exit 1
fi
grep -q 'use_quorvel.py:5: error: Incompatible types in assignment' mypy.out || { cat mypy.out; exit 1; }
[ "$(grep -c error: mypy.out)" = 1 ] || { cat mypy.out; exit 1; }
env -u PYTHONPATH -u MYPYPATH "$venv/bin/python" -m mypy.stubtest quorvel
echo "package check passed"
