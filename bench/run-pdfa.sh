#!/usr/bin/env bash
# Builds the PDF/A benchmark and runs it: our PDF/A-1b and -2b beside ocrmypdf and Ghostscript
# on the same 20-page colour and black-and-white plain PDFs; then "Conferma" of 20 pages as the
# plain PDF and as PDF/A, interleaved. Usage: bench/run-pdfa.sh [--pages N]
# BUILD names the build folder (default: a folder beside the repository).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/../build-pdfa-bench}
for tool in ocrmypdf gs; do
  command -v "$tool" >/dev/null || echo "note: $tool missing, its comparison is skipped" >&2
done
/usr/bin/python3 -c 'import pikepdf' || { echo "missing python3-pikepdf: run ./dev setup" >&2; exit 1; }
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON -DSCANSIONE_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target pdfa_bench window_session_bench
"$BUILD/bench/pdfa_bench" "$@"
for run in 1 2 3; do
  "$BUILD/bench/window_session_bench" confirm --pages 20 --kinds BW,RGB --formats PDF,PDFA
done
