#!/usr/bin/env bash
# Installs what building, running and testing varkel needs on Debian, once.
# Usage: scripts/install-deps.sh [extra-package...]
set -euo pipefail

packages=(build-essential cmake pkg-config libcw-dev libsystemd-dev libgtest-dev libgmock-dev
          libbenchmark-dev clang clang-format libclang-rt-14-dev netcat-openbsd
          pulseaudio pulseaudio-utils "$@")
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi
sudo=""
if [[ $(id -u) -ne 0 ]]; then
    sudo="sudo"
fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
