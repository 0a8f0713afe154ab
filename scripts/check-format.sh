#!/usr/bin/env bash
# Fails when a C++ file does not match .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files -co --exclude-standard -- '*.h' '*.cpp')
((${#files[@]})) || exit 0
clang-format --dry-run --Werror "${files[@]}"
