#!/bin/sh
# Checks the type stubs against a built module, then type-checks the examples
# with them.
#
#   scripts/check-stubs.sh BUILD_DIR [PYTHON]
#
# BUILD_DIR holds the built quorvel extension; PYTHON defaults to $PYTHON or
# /usr/bin/python3 and needs mypy (Debian: python3-mypy).
#
# mypy looks for a PEP 561 "quorvel-stubs" package in the interpreter's
# sys.path, not in MYPYPATH, so the stubs directory goes on PYTHONPATH beside
# the built module: stubtest imports the module from BUILD_DIR and reads the
# stubs from stubs/quorvel-stubs, exactly as it would after `pip install`.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: scripts/check-stubs.sh BUILD_DIR [PYTHON]}" && pwd)
python=${2:-${PYTHON:-/usr/bin/python3}}

export PYTHONPATH="$root/stubs:$build"
cd "$root"
"$python" -m mypy.stubtest quorvel
"$python" -m mypy --strict --cache-dir "$build/.mypy_cache" examples
