#!/usr/bin/env bash
# Installs the Debian packages the build, the simulated unit and the tests need, when they are missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git
      libgtest-dev libgmock-dev googletest libbenchmark-dev libjpeg-turbo-progs libturbojpeg0-dev
      libfreetype-dev libpng-dev libopus-dev libusb-1.0-0-dev libasound2-dev libssl-dev libglib2.0-dev
      fonts-dejavu-core fonts-paratype)
if [ "${1:-}" = "--fuzz" ]; then pkgs+=(clang libclang-rt-14-dev); fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
