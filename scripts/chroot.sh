#!/usr/bin/env bash
# The test suite on another CPython, inside a Debian chroot that carries it.
# usage: scripts/chroot.sh [--prepare] VERSION [make arguments...]
#   scripts/chroot.sh 3.13                      # Debian trixie's python3.13
#   scripts/chroot.sh 3.14 PYTEST_ARGS='-x -k costs'
#   scripts/chroot.sh --prepare 3.14            # only make the chroot
#   scripts/chroot.sh --exec 'CMD' 3.14         # CMD in the clone, package installed
# Runs as root (debootstrap, mount, chroot). The chroot is made once under
# $ZOPT_CHROOT_ROOT (default /var/cache/zopt-chroots/<suite>) and reused; each
# run clones the committed HEAD of this checkout into it and runs
# `make test PYTHON=python3.X` there. /proc and /dev are mounted for the run
# and always unmounted when it ends, however it ends.
set -euo pipefail

usage() {
  echo "usage: $0 [--prepare | --exec CMD] VERSION [make arguments...]  (VERSION: 3.13 or 3.14)" >&2
  exit 2
}
prepare_only=false
exec_cmd=
case "${1:-}" in
  --prepare) prepare_only=true; shift ;;
  --exec) [ $# -ge 2 ] || usage; exec_cmd=$2; shift 2 ;;
esac
[ $# -ge 1 ] || usage
version=$1
shift
case "$version" in
  3.13) suite=trixie ;;
  3.14) suite=sid ;;
  *) echo "error: no Debian suite known for CPython $version" >&2; usage ;;
esac
suite=${ZOPT_CHROOT_SUITE:-$suite}
py=python$version

src=$(cd "$(dirname "$0")/.." && pwd)
croot=${ZOPT_CHROOT_ROOT:-/var/cache/zopt-chroots}
dir=$croot/$suite
mirror=${ZOPT_DEBIAN_MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "error: $0 needs root (debootstrap, mount, chroot)" >&2; exit 2; }
command -v debootstrap >/dev/null || {
  echo "error: debootstrap is missing (apt-get install debootstrap)" >&2; exit 2; }

mkdir -p "$croot"
# One run per chroot at a time: two runs would share the mounts.
exec 9>"$croot/$suite.lock"
flock 9

# Mount points below a path, deepest first.
mounts_under() {
  findmnt -rn -o TARGET | awk -v p="$1" '$0 == p || index($0, p "/") == 1' | sort -r
}

# Removing a folder with /dev bound inside would delete the host's device
# nodes: unmount whatever is below it first and refuse if anything stays.
safe_remove() {
  local target=$1 m
  for m in $(mounts_under "$target"); do umount "$m" 2>/dev/null || umount -l "$m"; done
  if [ -n "$(mounts_under "$target")" ]; then
    echo "error: still mounted below $target, not removing it:" >&2
    mounts_under "$target" >&2
    return 1
  fi
  rm -rf --one-file-system "$target"
}

mounted=()
cleanup() {
  local i
  for (( i=${#mounted[@]}-1; i>=0; i-- )); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" \
      || echo "error: could not unmount ${mounted[i]}" >&2
  done
  mounted=()
  if [ -n "$(mounts_under "$dir")" ]; then
    echo "error: still mounted below $dir:" >&2
    mounts_under "$dir" >&2
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mount_at() {  # mount_at TARGET mount-arguments...
  local target=$1
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}

if [ ! -f "$dir/.zopt-ready" ]; then
  [ ! -e "$dir" ] || safe_remove "$dir"
  partial=$dir.partial
  [ ! -e "$partial" ] || safe_remove "$partial"
  echo "== making the $suite chroot in $dir (once)"
  if ! debootstrap --variant=minbase \
      --include="$py,$py-dev,$py-venv,g++,make,cmake,git,ca-certificates" \
      "$suite" "$partial" "$mirror"; then
    echo "error: debootstrap of $suite failed; see $partial/debootstrap/debootstrap.log" >&2
    # debootstrap may leave /proc or /sys mounted in the target on failure.
    for m in $(mounts_under "$partial"); do umount "$m" 2>/dev/null || umount -l "$m"; done
    exit 1
  fi
  mv "$partial" "$dir"
  touch "$dir/.zopt-ready"
fi
[ -x "$dir/usr/bin/$py" ] || {
  echo "error: $dir has no $py; remove it (after checking findmnt) to remake it" >&2; exit 1; }
if $prepare_only; then echo "$dir"; exit 0; fi

# Network the way the host has it: name resolution, the CA bundle (it may
# hold a proxy's certificate), and pip's configuration with the local
# indexes and wheel folders it names.
copy_in() {  # copy_in HOST-FILE: to the same path inside
  [ -f "$1" ] || return 0
  mkdir -p "$dir$(dirname "$1")"
  cp -L "$1" "$dir$1"
}
copy_in /etc/resolv.conf
copy_in /etc/ssl/certs/ca-certificates.crt
pip_files=(/etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.pip/pip.conf" "$HOME/.config/pip/pip.conf")
[ -z "${PIP_CONFIG_FILE:-}" ] || pip_files+=("$PIP_CONFIG_FILE")
for f in "${pip_files[@]}"; do copy_in "$f"; done
pip_env=()
for v in ${!PIP_*} ${!SSL_CERT*} REQUESTS_CA_BUNDLE CURL_CA_BUNDLE; do
  [ -z "${!v:-}" ] || pip_env+=("$v=${!v}")
done
# Local paths the pip settings name: files are copied, folders bound
# read-only (a local index's parent: its pages link to files beside it).
# The settings are `key = value...` lines and PIP_* variables.
pip_paths=$( { for f in "${pip_files[@]}"; do [ -f "$f" ] && sed -n 's/^[^#;=]*=//p' "$f"; done
               for v in ${!PIP_*}; do echo "${!v}"; done; } \
             | tr -s ' \t' '\n\n' | sed -n 's|^file://||; /^\//p' | sort -u)
ro_binds=()
for p in $pip_paths; do
  p=${p%/}
  [ "$(basename "$p")" != simple ] || p=$(dirname "$p")
  if [ -f "$p" ]; then
    copy_in "$p"
  elif [ -d "$p" ] && [[ " ${ro_binds[*]} " != *" $p "* ]]; then
    ro_binds+=("$p")
  fi
done

mount_at "$dir/proc" -t proc proc
mount_at "$dir/dev" --bind /dev
# multiprocessing's semaphores live in /dev/shm: a private one, not the host's.
mount_at "$dir/dev/shm" -t tmpfs -o mode=1777 tmpfs
# Pseudo-terminals (tests open some): a devpts instance of the chroot's own,
# which /dev/ptmx finds beside it.
mount_at "$dir/dev/pts" -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts
for p in "${ro_binds[@]}"; do
  mount_at "$dir$p" --bind "$p"
  mount -o remount,bind,ro "$dir$p"
done

work=/root/ci/$(basename "$src")
[ ! -e "$dir$work" ] || safe_remove "$dir$work"
mkdir -p "$(dirname "$dir$work")"
git clone -q --no-hardlinks "$src" "$dir$work"
echo "== $py in $suite: $(git -C "$src" rev-parse --short HEAD) (committed HEAD of $src)"

env_args=(HOME=/root LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
          "CI=${CI:-}" "${pip_env[@]}")
in_chroot() { chroot "$dir" /usr/bin/env -i "${env_args[@]}" "$@"; }
status=0
if [ -n "$exec_cmd" ]; then
  in_chroot make -C "$work" .venv/.installed PYTHON="$py" "$@" &&
    in_chroot /bin/sh -c "cd $work && $exec_cmd" || status=$?
  echo "== $py in $suite: exit $status"
else
  in_chroot make -C "$work" test PYTHON="$py" "$@" || status=$?
  echo "== $py in $suite: make test exit $status"
fi
exit $status
