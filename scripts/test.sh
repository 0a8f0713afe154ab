#!/usr/bin/env bash
# Builds and runs every test: the native suite, the thread-sanitised run of the threaded parts,
# and the cross-build of every portable library for 32-bit Windows with warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

echo "== format"
bash scripts/check-format.sh

echo "== native build and tests"
cmake --preset debug >/dev/null
cmake --build --preset debug
ctest --preset debug

echo "== thread sanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan -L 'audio|calibration|sim'

echo "== windows cross-build of the portable libraries"
cmake --preset windows >/dev/null
cmake --build --preset windows
