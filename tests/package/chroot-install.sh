#!/usr/bin/env bash
# Installs the Debian packages of ./dev package on a fresh Debian 12 root, made with
# debootstrap in a scratch folder, and runs the programs there: what a new user's machine would
# see. It downloads a minimal Debian (about 300 MB); not part of ./dev test. Run as root:
#
#   tests/package/chroot-install.sh [ROOT]
#
# With ROOT, an existing bootstrapped root there is reused (and kept); without it, a new one is
# made under /var/tmp and removed at the end. The Debian mirror is the one this machine's apt
# uses for bookworm, or MIRROR=URL.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT_DIR=$(pwd)

[ "$(id -u)" -eq 0 ] || { echo "run as root (debootstrap and chroot need it)" >&2; exit 2; }
debs=("$ROOT_DIR"/build/packages/scansione_*.deb "$ROOT_DIR"/build/packages/libscansione2_*.deb)
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "no $deb: run ./dev package first" >&2; exit 2; }
done
command -v debootstrap >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap

mirror=${MIRROR:-}
if [ -z "$mirror" ]; then
  # deb822 sources first (URIs: before Suites: bookworm), then the one-line format.
  mirror=$(awk '/^URIs:/ {uri=$2} /^Suites:/ && / bookworm( |$)/ && uri {print uri; exit}' \
             /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$mirror" ] ||
    mirror=$(awk '$1 == "deb" && $3 == "bookworm" {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
fi
[ -n "$mirror" ] || { echo "no bookworm mirror in apt's sources; set MIRROR=URL" >&2; exit 2; }

keep=1
root=${1:-}
if [ -z "$root" ]; then
  root=$(mktemp -d /var/tmp/scansione-bookworm.XXXXXX)
  keep=0
fi
mounted=()
cleanup() {
  local m
  for m in "${mounted[@]}"; do umount -l "$m" 2>/dev/null || true; done
  if [ $keep -eq 0 ]; then rm -rf --one-file-system "$root"; fi
}
trap cleanup EXIT

started=$(date +%s)
if [ ! -x "$root/usr/bin/apt-get" ]; then
  echo "== debootstrap bookworm into $root from $mirror"
  debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -20 "$root.debootstrap.log" >&2; exit 1; }
  rm -f "$root.debootstrap.log"
fi
echo "== root ready after $(( $(date +%s) - started )) s"

mount -t proc proc "$root/proc" && mounted+=("$root/proc")
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/tmp/packages"
cp "${debs[@]}" "$root/tmp/packages/"
inside=()
for deb in "${debs[@]}"; do inside+=("/tmp/packages/$(basename "$deb")"); done
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

echo "== dpkg -i, then apt-get -f install for the dependencies"
# dpkg leaves them unconfigured for want of their dependencies, which apt-get then brings.
in_root dpkg -i "${inside[@]}" >/dev/null 2>&1 || true
in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get -f install -y -qq --no-install-recommends >/dev/null
in_root dpkg -s scansione libscansione2 | grep -E '^(Package|Status|Version):'
echo "== installed after $(( $(date +%s) - started )) s"

echo "== scansione-batch --help"
in_root scansione-batch --help
echo "== scansione-batch --list, SANE as installed (no scanner attached: status 1, or 2 when SANE cannot start)"
status=0
in_root scansione-batch --list || status=$?
echo "exit status $status"
[ $status -le 2 ] || exit 1

examples=/usr/share/doc/scansione/examples
echo "== scansione-batch --list on the virtual scanners of the documentation"
in_root env SCANSIONE_SANE=0 SCANSIONE_VIRTUAL_SCANNERS=$examples/virtual-scanners.json \
  scansione-batch --list | tee "$root/tmp/list.out"
grep -qx '1: Scanner ADF fronte retro virtuale' "$root/tmp/list.out" ||
  { echo "--list did not list the virtual scanners" >&2; exit 1; }

echo "== a feeder batch on those virtual scanners, into a named file"
produced=$(in_root env SCANSIONE_SANE=0 SCANSIONE_VIRTUAL_SCANNERS=$examples/virtual-scanners.json \
  scansione-batch --source "Scanner ADF fronte retro virtuale" --adf --duplex \
  --output /tmp/fattura.pdf --quiet)
[ "$produced" = /tmp/fattura.pdf ] && [ -s "$root$produced" ] || { echo "no document produced" >&2; exit 1; }
echo "== $produced: $(stat -c %s "$root$produced") bytes"

echo "== SANE as installed, with no scanner attached: the session cannot start (exit 2)"
status=0
in_root scansione-batch --info || status=$?
echo "exit status $status"
[ $status -eq 2 ] || exit 1

echo "== man scansione-batch renders"
if in_root sh -c 'command -v man' >/dev/null; then
  in_root man -P cat scansione-batch | head -5
else
  echo "(man-db is not in the minimal root; the page is $(in_root sh -c 'ls /usr/share/man/man1/scansione-batch.1.gz'))"
fi
echo "== done in $(( $(date +%s) - started )) s"
