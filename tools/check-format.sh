#!/bin/sh
# Fails when a C++ file of the repository differs from what clang-format-14 makes of it with the
# repository's .clang-format, and names the files. `git ls-files '*.cpp' '*.h' | xargs
# clang-format-14 -i` formats them.
set -eu
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' | xargs clang-format-14 --dry-run --Werror
echo "check-format: every C++ file is formatted"
