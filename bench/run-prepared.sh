#!/usr/bin/env bash
# Pages encoded while the scanner works, measured beside the code of an earlier commit in the
# same run: builds this tree and BASE (taken with git archive; this tree's window and SANE
# benchmarks are copied into it, so that both print the same measurements), then runs on each
#   window_session_bench confirm: "Conferma" of 99 A4 300 dpi colour pages in each format,
#       pressed as the batch ends, the feeder giving a page every INTERVAL ms (300), beside
#       cjpeg -quality 85 on 99 pages of scanner-like noise (measured once);
#   window_session_bench gap: the window's longest event-loop pause during that batch (PDF);
#   memory_bench: peak and growth of a 99-page colour session (each tree's own benchmark);
#   sane_bench: the component beside scanimage on SANE's test backend (10 colour sheets).
# Usage: bench/run-prepared.sh BASE [--quick]   (--quick: 20 pages, one SANE run)
# BUILD and BEFORE name the build folders (default: folders beside the repository).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BASE=${1:?usage: bench/run-prepared.sh BASE [--quick]  (BASE: the commit to compare with)}
PAGES=99 RUNS=3
[[ "${2:-}" == "--quick" ]] && PAGES=20 RUNS=1
INTERVAL=${INTERVAL:-300}
BUILD=${BUILD:-$ROOT/../build-prepared-after}
BEFORE=${BEFORE:-$ROOT/../build-prepared-before}
TARGETS=(window_session_bench memory_bench sane_bench)
for tool in cjpeg scanimage; do
  command -v "$tool" >/dev/null || { echo "missing $tool: run ./dev setup" >&2; exit 1; }
done

# The base's sources are taken once (a second run rebuilds only what changed since).
base=$(git -C "$ROOT" rev-parse "$BASE")
if [[ "$(cat "$BEFORE/src/.base" 2>/dev/null)" != "$base" ]]; then
  rm -rf "$BEFORE/src" && mkdir -p "$BEFORE/src"
  git -C "$ROOT" archive "$base" | tar -x -C "$BEFORE/src"
  echo "$base" >"$BEFORE/src/.base"
fi
for f in window_session_bench.cpp sane_bench.cpp; do
  cmp -s "$ROOT/bench/$f" "$BEFORE/src/bench/$f" || cp "$ROOT/bench/$f" "$BEFORE/src/bench/"
done
# A base from before a header moved folder gets a header of the new name that includes the old.
for h in $(grep -ho '#include "[a-z_]*/[A-Za-z]*\.h"' "$ROOT"/bench/{window_session,sane}_bench.cpp |
           cut -d'"' -f2 | sort -u); do
  [[ -f "$BEFORE/src/$h" ]] && continue
  old=$(cd "$BEFORE/src" && ls -- */"$(basename "$h")" 2>/dev/null | head -1)
  [[ -n "$old" ]] || continue
  mkdir -p "$BEFORE/src/$(dirname "$h")" && echo "#include \"$old\"" >"$BEFORE/src/$h"
done
for dir in "$BUILD:$ROOT" "$BEFORE/build:$BEFORE/src"; do
  cmake -S "${dir#*:}" -B "${dir%%:*}" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON \
    -DSCANSIONE_TESTS=OFF >/dev/null
  cmake --build "${dir%%:*}" -j2 --target "${TARGETS[@]}" >/dev/null
done

export QT_QPA_PLATFORM=offscreen SANE_CONFIG_DIR="$ROOT/tests/sane"
unset SCANSIONE_VIRTUAL_SCANNERS
side() { # label, build folder, command...
  local label=$1 build=$2; shift 2
  echo "-- $label ($(cut -d' ' -f1-3 /proc/loadavg))"
  "$build/bench/$@" 2>&1 | grep -v '^QStandardPaths' || true
}
echo "== $(nproc) cores; before: $(git -C "$ROOT" rev-parse --short "$BASE"), after: this tree"
echo "== Conferma, $PAGES colour pages, a page every $INTERVAL ms"
"$BUILD/bench/window_session_bench" reference --pages "$PAGES" 2>&1 | grep -v '^QStandardPaths' || true
for label in before after; do
  build=$BUILD; [[ $label == before ]] && build=$BEFORE/build
  side "$label" "$build" window_session_bench confirm --pages "$PAGES" --kinds RGB \
    --interval "$INTERVAL"
done
echo "== the window's event loop during the batch ($PAGES colour pages for a PDF)"
for label in before after; do
  build=$BUILD; [[ $label == before ]] && build=$BEFORE/build
  side "$label" "$build" window_session_bench gap --pages "$PAGES" --kind RGB --format PDF \
    --interval "$INTERVAL"
done
echo "== memory of a $PAGES-page colour session"
for label in before after; do
  build=$BUILD; [[ $label == before ]] && build=$BEFORE/build
  side "$label" "$build" memory_bench "$PAGES"
done
echo "== SANE test backend, component beside scanimage"
for label in before after; do
  build=$BUILD; [[ $label == before ]] && build=$BEFORE/build
  side "$label" "$build" sane_bench --runs "$RUNS"
done
