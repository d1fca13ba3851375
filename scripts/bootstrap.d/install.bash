# Sourced by scripts/bootstrap and its steps. apt_install installs Debian packages (as root,
# or through sudo); where it cannot, it stops the set-up with one line that names what is
# missing and the command that installs it.

# apt_install "what is missing" package...
apt_install() {
    local what=$1
    shift
    local runner=()
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "bootstrap: missing $what and there is no apt-get here; install it with your system's package manager (Debian/Ubuntu: apt-get install -y $*)" >&2
        exit 1
    fi
    if [ "$(id -u)" != 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            echo "bootstrap: missing $what; install it as root with: apt-get install -y $*" >&2
            exit 1
        fi
        runner=(sudo)
    fi
    echo "bootstrap: installing $*"
    local log
    log=$(mktemp)
    if ! { "${runner[@]}" apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive "${runner[@]}" apt-get install -y -qq "$@"; } >"$log" 2>&1; then
        echo "bootstrap: could not install $what (see $log); install it as root with: apt-get install -y $*" >&2
        exit 1
    fi
    rm -f "$log"
}

# The Python that runs the suites (scripts/bootstrap finds it once for all steps).
python=${BOOTSTRAP_PYTHON:-python3}

# pip_install "what is missing" package... (into that Python)
pip_install() {
    local what=$1
    shift
    echo "bootstrap: installing $* with pip"
    local log
    log=$(mktemp)
    # A distribution's own Python refuses plain installs (PEP 668); these are test tools only.
    if ! { "$python" -m pip install --quiet --disable-pip-version-check "$@" ||
        "$python" -m pip install --quiet --disable-pip-version-check --break-system-packages "$@"; } >"$log" 2>&1; then
        echo "bootstrap: could not install $what (see $log); install it with: python3 -m pip install $*" >&2
        exit 1
    fi
    rm -f "$log"
}
