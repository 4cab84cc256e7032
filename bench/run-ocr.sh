#!/usr/bin/env bash
# Builds the OCR benchmark and runs it: our recogniser and text layer beside ocrmypdf on the
# same image-only PDFs. Usage: bench/run-ocr.sh [--out DIR]
# BUILD names the build folder (default: a folder beside the repository).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/../build-ocr-bench}
for tool in ocrmypdf pdftotext; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run ./dev setup" >&2; exit 1; }
done
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON -DSCANSIONE_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target ocr_bench
exec env OMP_THREAD_LIMIT=1 "$BUILD/bench/ocr_bench" "$@"
