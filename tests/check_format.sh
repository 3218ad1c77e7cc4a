#!/bin/sh
# Fails, listing the files, when a C++ source differs from what clang-format
# makes of it with the checked-in .clang-format. Fix with:
#   git ls-files '*.cpp' '*.h' | xargs clang-format -i
set -eu
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
echo "format: every C++ source as clang-format makes it"
