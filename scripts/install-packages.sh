#!/usr/bin/env bash
# Installs those of the named Debian packages that are missing (apt-get update once first).
# A name may carry an architecture (libx11-dev:i386); a foreign one is added to dpkg first.
# Usage: scripts/install-packages.sh PACKAGE...   (as root, or with sudo where available)
set -euo pipefail
native=$(dpkg --print-architecture)
missing=()
for p in "$@"; do
  # A plain name means the native package (or an architecture-independent one), not the same
  # library installed for another architecture only.
  arch=$native
  [[ $p == *:* ]] && arch=${p##*:}
  dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
    grep -Eq "^install ok installed ($arch|all)\$" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
for p in "${missing[@]}"; do
  [[ $p == *:* ]] || continue
  arch=${p##*:}
  # apt knows the packages of an added architecture only after the update below.
  if [ "$arch" != "$native" ] && [ "$arch" != all ] && [ "$arch" != any ] &&
     ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "adding the architecture $arch to dpkg" >&2
    $sudo dpkg --add-architecture "$arch"
  fi
done
# Another apt-get or dpkg (an automatic upgrade, say) may hold the package system's locks for
# a while: wait for them, up to ten minutes, rather than give up at once. apt-get update does
# not wait for the lock of the package lists itself: it is tried again while that is its failure.
lock_seconds=600
lock_wait=(-o DPkg::Lock::Timeout=$lock_seconds)
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
waited=0
while :; do
  status=0
  $sudo env LC_ALL=C apt-get "${lock_wait[@]}" update -q >&2 2>"$errors" || status=$?
  cat "$errors" >&2
  [ $status -eq 0 ] && break
  if ! grep -q 'Could not get lock' "$errors" || [ $waited -ge $lock_seconds ]; then
    exit $status
  fi
  echo "waiting for another package manager to release the package lists" >&2
  sleep 5
  waited=$((waited + 5))
done
$sudo env DEBIAN_FRONTEND=noninteractive apt-get "${lock_wait[@]}" install -y -q \
  --no-install-recommends "${missing[@]}" >&2
