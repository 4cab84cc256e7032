#!/usr/bin/env bash
# Builds the writers benchmark and runs it: ours beside img2pdf, tiffcp, ImageMagick and cjpeg,
# all on the same generated pages. Usage: bench/run-writers.sh [--pages N] [--out DIR]
# BUILD names the build folder (default: a folder beside the repository).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/../build-writers-bench}
for tool in qpdf tiffcp cjpeg img2pdf convert; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run ./dev setup" >&2; exit 1; }
done
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON -DSCANSIONE_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target writers_bench
exec "$BUILD/bench/writers_bench" "$@"
