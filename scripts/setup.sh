#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need.
# Idempotent: when every package is present it only checks and returns.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libuv1-dev libsqlite3-dev libzstd-dev libxxhash-dev libmsgpack-dev libjsoncpp-dev
  googletest libgtest-dev libgmock-dev
  fdisk util-linux e2fsprogs iproute2 libfaketime sqlite3 zstd xxhash socat procps time
  bc python3 diffutils coreutils
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
