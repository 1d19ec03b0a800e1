#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter: python3.13 on PATH, else pyenv's 3.13.x.
set -euo pipefail
is313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }
for candidate in "${PYTHON:-}" "$(command -v python3.13 || true)"; do
  if [ -n "$candidate" ] && is313 "$candidate"; then echo "$candidate"; exit 0; fi
done
root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
for dir in "$root"/versions/3.13.0 "$root"/versions/3.13.*; do
  if [ -x "$dir/bin/python3.13" ] && is313 "$dir/bin/python3.13"; then echo "$dir/bin/python3.13"; exit 0; fi
done
echo "error: CPython 3.13 not found (looked on PATH and in $root/versions/3.13.*)." >&2
echo "       Install it (e.g. 'pyenv install 3.13.0') or set PYTHON=/path/to/python3.13." >&2
exit 1
