#!/usr/bin/env bash
# Every C++ file is formatted with the committed .clang-format.
set -euo pipefail
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror
echo "formatting ok"
