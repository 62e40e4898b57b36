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
$sudo apt-get update -q >&2
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "${missing[@]}" >&2
