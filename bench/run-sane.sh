#!/usr/bin/env bash
# Builds the SANE benchmark and runs it against SANE's test backend (tests/sane), beside
# scanimage on the same device and settings.
#   bench/run-sane.sh [--runs N]        the test backend: the SANE layer in the benchmark's
#                                       process, the component through its worker program
#   bench/run-sane.sh --net [--runs N]  the test backend exported by saned on a loopback
#                                       address, through SANE's net backend; then the scan
#                                       window's longest event-loop pause on the same device
# BUILD names the build folder (default: a folder beside the repository).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD:-$ROOT/../build-sane-bench}
NET=0
if [[ "${1:-}" == "--net" ]]; then
  NET=1
  shift
fi
command -v scanimage >/dev/null || { echo "missing scanimage (sane-utils): run ./dev setup" >&2; exit 1; }
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DSCANSIONE_BENCH=ON -DSCANSIONE_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j2 --target sane_bench window_session_bench
export QT_QPA_PLATFORM=offscreen
unset SCANSIONE_VIRTUAL_SCANNERS
echo "== load: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
if [[ $NET -eq 0 ]]; then
  export SANE_CONFIG_DIR="$ROOT/tests/sane"
  exec "$BUILD/bench/sane_bench" "$@"
fi

# saned exporting the test backend. The net backend always connects to port 6566 (the
# services entry sane-port), so the server gets an address of its own in 127.0.0.0/8.
[[ -x /usr/sbin/saned ]] || { echo "missing saned (sane-utils): run ./dev setup" >&2; exit 1; }
WORK=$(mktemp -d)
SANED_PID=
cleanup() {
  [[ -n "$SANED_PID" ]] && kill -- "-$SANED_PID" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
mkdir -p "$WORK/server" "$WORK/client"
cp "$ROOT/tests/sane/test.conf" "$WORK/server/"
echo test > "$WORK/server/dll.conf"
echo 127.0.0.0/8 > "$WORK/server/saned.conf"
echo net > "$WORK/client/dll.conf"
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  ADDRESS="127.$((100 + RANDOM % 100)).$((1 + RANDOM % 254)).$((1 + RANDOM % 254))"
  # setsid: saned and the children it forks per connection form one group, killed at exit.
  SANE_CONFIG_DIR="$WORK/server" setsid /usr/sbin/saned -l -e -d 0 -b "$ADDRESS" \
    2>"$WORK/saned.log" &
  SANED_PID=$!
  for _ in $(seq 50); do
    if (exec 3<>"/dev/tcp/$ADDRESS/6566") 2>/dev/null; then break 2; fi
    kill -0 "$SANED_PID" 2>/dev/null || break
    sleep 0.1
  done
  kill -- "-$SANED_PID" 2>/dev/null || true
  SANED_PID=
done
[[ -n "$SANED_PID" ]] || { echo "saned did not start: $(cat "$WORK/saned.log")" >&2; exit 1; }
printf 'connect_timeout = 5\n%s\n' "$ADDRESS" > "$WORK/client/net.conf"
export SANE_CONFIG_DIR="$WORK/client"
echo "== saned on $ADDRESS"
"$BUILD/bench/sane_bench" --device "net:$ADDRESS:test:0" "$@"
for run in 1 2 3; do "$BUILD/bench/window_session_bench" gap --pages 10 --sane; done
