#!/usr/bin/env bash
# Installs every Debian package Korvella needs; skips what is present.
# Idempotent; run as root (or through sudo) on Debian 12.
set -euo pipefail

packages=(
  build-essential g++ clang libclang-rt-14-dev cmake ninja-build pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  libtinyxml2-dev libb64-dev libmodbus-dev libpaho-mqtt-dev libssl-dev
  libjpeg62-turbo-dev zlib1g-dev
  mosquitto mosquitto-clients openssl
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
