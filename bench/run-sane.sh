#!/usr/bin/env bash
# Builds the SANE benchmark and runs it against SANE's test backend (tests/sane), beside
# scanimage on the same device and settings. Usage: bench/run-sane.sh [--runs N]
# BUILD names the build folder (default: a folder beside the repository).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/../build-sane-bench}
command -v scanimage >/dev/null || { echo "missing scanimage (sane-utils): run ./dev setup" >&2; exit 1; }
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON -DSCANSIONE_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target sane_bench
export SANE_CONFIG_DIR="$ROOT/tests/sane"
export QT_QPA_PLATFORM=offscreen
unset SCANSIONE_VIRTUAL_SCANNERS
exec "$BUILD/bench/sane_bench" "$@"
