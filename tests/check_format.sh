#!/bin/sh
# Fails when clang-format would change any of our C++ files.
# usage: check_format.sh SOURCE_ROOT
set -eu
cd "$1"
files=$(find host unidata meter plugin runtime apps tests bench fuzz -name '*.cpp' -o -name '*.h' | sort)
if clang-format --dry-run --Werror $files; then
  echo "1 passed, 0 failed"
else
  echo "0 passed, 1 failed: run clang-format -i on the files above"
  exit 1
fi
