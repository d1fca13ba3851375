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

# The interpreter the project's virtual environment is made from (scripts/bootstrap finds it
# once for all steps). Nothing is ever installed into it.
python=${BOOTSTRAP_PYTHON:-python3}

# The project's virtual environment: every Python tool of the build and the tests lives there.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
venv=${TOLM_VENV:-$root/.venv}
