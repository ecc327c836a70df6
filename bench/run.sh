#!/usr/bin/env bash
# Creates bench/.venv, installs the package from the repository root and the
# benchmark's peers into it, and runs the benchmark. Arguments go to bench/run.py
# (--quick for a smoke run). Writes bench/results.json, bench/RESULTS.md and
# bench/time_per_sample.png.
set -euo pipefail
bench=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$bench")
venv="$bench/.venv"
python=${PYTHON:-python3}

if [ ! -x "$venv/bin/python" ]; then
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
fi
"$venv/bin/python" -m pip install --quiet -r "$bench/requirements.txt"
"$venv/bin/python" -m pip install --quiet "$root"
cd "$bench"
exec "$venv/bin/python" "$bench/run.py" "$@"
