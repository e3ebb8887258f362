#!/usr/bin/env bash
# Installs the Debian packages the build, the simulated unit and the tests need, when they are missing.
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config git
      libgtest-dev libgmock-dev googletest libbenchmark-dev libjpeg-turbo-progs libturbojpeg0-dev
      libfreetype-dev libpng-dev libopus-dev libusb-1.0-0-dev libasound2-dev libssl-dev libglib2.0-dev python3-websockets
      libfftw3-dev fonts-dejavu-core fonts-paratype libhamlib-utils
      libsdl2-dev libxtst-dev xvfb)
if [ "${1:-}" = "--fuzz" ]; then pkgs+=(clang libclang-rt-14-dev); fi
# --armhf: Debian's cross compiler, the board's development libraries beside the PC's (multiarch) and
# user-mode emulation to run the armhf tests.
if [ "${1:-}" = "--armhf" ]; then
  pkgs+=(crossbuild-essential-armhf qemu-user libc6:armhf libstdc++6:armhf
         libfreetype-dev:armhf libpng-dev:armhf libopus-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
         libturbojpeg0-dev:armhf libusb-1.0-0-dev:armhf libssl-dev:armhf libglib2.0-dev:armhf libasound2-dev:armhf)
  dpkg --print-foreign-architectures | grep -qx armhf || { dpkg --add-architecture armhf; newarch=1; }
fi
# --package: what scripts/package.sh needs to build and check the Debian packages.
if [ "${1:-}" = "--package" ]; then pkgs+=(dpkg-dev fakeroot lintian systemd file); fi
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${newarch:-}" ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=900 update -qq
  apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}"
fi
