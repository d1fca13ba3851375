#!/usr/bin/env bash
# `make lint`: the habits the code review would otherwise have to catch, checked by tools.
#   - clang-format (check mode) on every C and C++ file;
#   - clang-tidy on the product code (src/), with the checks listed in .clang-tidy, against
#     the compile database of $TOLM_BUILD_DIR;
#   - node --check on every JavaScript file, ruff (ruff.toml) on every Python file.
# Exits non-zero at the end if any of them found something; prints what and where.
set -uo pipefail
cd "$(dirname "$0")/.."
: "${TOLM_BUILD_DIR:?set TOLM_BUILD_DIR to the build directory (make lint does)}"
clang_format=${CLANG_FORMAT:-clang-format-16}
clang_tidy=${CLANG_TIDY:-clang-tidy-16}
for tool in "$clang_format" "$clang_tidy"; do
    command -v "$tool" >/dev/null ||
        { echo "lint: $tool is missing; run: bash scripts/bootstrap" >&2; exit 1; }
done
# ruff comes with the project's virtual environment.
python=${PYTHON:-.venv/bin/python}
"$python" -c 'import ruff' 2>/dev/null ||
    { echo "lint: ruff is missing from $python; run: bash scripts/bootstrap --for quick" >&2; exit 1; }

status=0
step() { echo "lint: $1"; }
fail() { echo "lint: $1" >&2; status=1; }

step "clang-format"
git ls-files -z '*.cpp' '*.hpp' '*.c' '*.h' | xargs -0 "$clang_format" --dry-run --Werror ||
    fail "clang-format would change the files above (make format fixes them)"

step "clang-tidy"
git ls-files -z 'src/*.cpp' |
    xargs -0 -n 4 -P "$(nproc)" "$clang_tidy" -p "$TOLM_BUILD_DIR" --quiet \
        --extra-arg=-Wno-unknown-warning-option 2>/dev/null ||
    fail "clang-tidy found the problems above"

step "node --check"
while IFS= read -r -d '' file; do
    node --check "$file" || fail "node --check failed on $file"
done < <(git ls-files -z '*.js')

step "ruff"
git ls-files -z '*.py' | xargs -0 "$python" -m ruff check --quiet || fail "ruff found the problems above"

exit $status
