#!/usr/bin/env bash
# Builds the scan window benchmark and runs it on the virtual scanner: the event loop's longest
# pause during a 10-page feeder batch, then "Conferma" for 20 and 99 A4 300 dpi pages of each
# kind (BW, GRAY, RGB) in each format, the 20-page runs beside cjpeg, tiffcp and img2pdf.
# Usage: bench/run-window.sh [--quick]   (--quick: 20 pages only)
# BUILD names the build folder (default: a folder beside the repository).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/../build-window-bench}
for tool in cjpeg tiffcp img2pdf; do
  command -v "$tool" >/dev/null || echo "note: $tool missing, its comparison is skipped" >&2
done
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON -DSCANSIONE_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target window_session_bench
BENCH="$BUILD/bench/window_session_bench"
echo "== load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
for run in 1 2 3; do "$BENCH" gap --pages 10; done
"$BENCH" confirm --pages 20 --tools
if [[ "${1:-}" != "--quick" ]]; then
  "$BENCH" confirm --pages 99
fi
