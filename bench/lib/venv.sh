# Shell helpers the bench scripts share: finding pyenv's interpreters and preparing a
# virtualenv with kulvo and the bench's requirements. Sourced, not run.

newest() {  # newest MINOR: pyenv's newest 3.MINOR.x interpreter, else python3.MINOR on PATH
    local dir
    dir=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$1".* 2>/dev/null | sort -t. -k3,3n | tail -n 1 || true)
    if [ -n "$dir" ] && [ -x "$dir/bin/python3" ]; then
        echo "$dir/bin/python3"
    else
        command -v "python3.$1" || true
    fi
}

quiet_pip() {  # pip without its progress chatter; failures still stop the script
    "$@" --quiet --disable-pip-version-check 2>&1 | { grep -v 'is ignored' || true; }
    return "${PIPESTATUS[0]}"
}

setup_venv() {  # setup_venv PYTHON VENV KULVO REQUIREMENTS...: KULVO is a checkout or a built wheel
    local python=$1 venv=$2 kulvo=$3
    shift 3
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    quiet_pip "$venv/bin/pip" install --upgrade pip
    local req
    for req in "$@"; do
        quiet_pip "$venv/bin/pip" install -r "$req"
    done
    # kulvo itself, from this checkout every time.
    quiet_pip "$venv/bin/pip" install --no-build-isolation --no-deps --force-reinstall "$kulvo"
}
