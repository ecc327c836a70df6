# Helpers shared by the CI scripts (sourced, not run).

# find_python X.Y: print the path of a CPython X.Y interpreter: `pythonX.Y` on PATH if it runs
# (a pyenv shim on PATH may only point elsewhere), else the newest X.Y.* that pyenv installed.
find_python() {
    local want=$1 candidate
    local check="import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$want'.split('.'))))"
    local candidates=()
    if command -v "python$want" >/dev/null 2>&1; then
        candidates+=("$(command -v "python$want")")
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local pyenv_root
        pyenv_root=$(pyenv root)
        while IFS= read -r candidate; do
            candidates+=("$candidate")
        done < <(compgen -G "$pyenv_root/versions/$want.*/bin/python$want" | sort -rV)
    fi
    for candidate in "${candidates[@]}"; do
        if "$candidate" -c "$check" 2>/dev/null; then
            # The interpreter itself, not a shim, so a venv made from it does not depend on pyenv.
            "$candidate" -c 'import sys; print(sys.executable)'
            return 0
        fi
    done
    echo "CPython $want not found (neither python$want on PATH nor a pyenv version $want.*)" >&2
    return 1
}

# make_venv DIR PYTHON: a fresh virtual environment, activated, with a current pip.
make_venv() {
    "$2" -m venv "$1"
    # shellcheck disable=SC1091
    source "$1/bin/activate"
    python -m pip install --quiet --upgrade pip
}

# ensure_tool COMMAND DEBIAN-PACKAGE...: install the packages with apt-get when COMMAND is missing.
ensure_tool() {
    local tool=$1
    shift
    command -v "$tool" >/dev/null 2>&1 && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo -n)
    fi
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "$tool is missing and there is no apt-get to install $* with" >&2
        return 1
    fi
    echo "--- installing $* (for $tool)"
    if [ -z "${ci_apt_updated:-}" ]; then
        "${sudo[@]}" apt-get update -qq
        ci_apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$@" >/dev/null
    command -v "$tool" >/dev/null 2>&1
}

# stage NAME COMMAND...: run one CI stage, timed; report_times prints every stage's time.
ci_times=()
ci_start=$SECONDS
stage() {
    local name=$1 start=$SECONDS
    shift
    echo "=== $name ==="
    "$@"
    ci_times+=("$(printf '%6ds  %s' $((SECONDS - start)) "$name")")
}

report_times() {
    echo "=== stage times ==="
    local line
    for line in "${ci_times[@]}"; do
        echo "$line"
    done
    printf '%6ds  total\n' $((SECONDS - ci_start))
}
