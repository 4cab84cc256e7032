#!/usr/bin/env bash
# Builds the OCR benchmarks and runs them: our recogniser and text layer beside ocrmypdf on the
# same image-only PDFs, then a feeder batch of 10 sheets, one every 2.5 s, with and without text
# recognition in the real window (the time it adds, the window's longest pause, the OCR
# worker's peak memory). Usage: bench/run-ocr.sh [--out DIR] [--fake]
# --out keeps the PDFs of the first part; --fake runs the feeder batch with a stand-in reader.
# BUILD names the build folder (default: a folder beside the repository); one already
# configured (with -DSCANSIONE_BENCH=ON) is built as it is.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/../build-ocr-bench}
for tool in ocrmypdf pdftotext; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run ./dev setup" >&2; exit 1; }
done
pdf_args=() feeder_args=()
while (($#)); do
  case $1 in
    --out) pdf_args+=(--out "$2"); shift 2 ;;
    --fake) feeder_args+=(--fake); shift ;;
    *) echo "usage: $0 [--out DIR] [--fake]" >&2; exit 2 ;;
  esac
done
if [[ ! -f $BUILD/CMakeCache.txt ]]; then
  cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON -DSCANSIONE_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD" -j2 --target ocr_bench window_session_bench scansione-ocr-worker
export OMP_THREAD_LIMIT=1 QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
"$BUILD/bench/ocr_bench" "${pdf_args[@]}"
echo
"$BUILD/bench/window_session_bench" ocr --pages 10 --interval 2500 "${feeder_args[@]}"
