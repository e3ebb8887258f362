#!/usr/bin/env bash
# Builds the Debian packages: dist/korvane_<version>_armhf.deb for the unit's board and
# dist/korvane_<version>_amd64.deb to try it on a PC, then checks each with lintian (errors fail).
# --arch armhf|amd64 builds only that one.
set -euo pipefail
cd "$(dirname "$0")/.."
archs=(armhf amd64)
if [ "${1:-}" = "--arch" ]; then archs=("${2:?armhf or amd64}"); fi
bash scripts/deps.sh --package
version=$(sed -n 's/^const char\* kVersion = "\(.*\)";$/\1/p' core/start/korvane_main.cpp)
[ -n "$version" ] || { echo "package: no version found in core/start/korvane_main.cpp" >&2; exit 1; }
mkdir -p dist
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022
# Reproducible stamps: the last commit's time.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}"

for arch in "${archs[@]}"; do
  case "$arch" in
    armhf)
      bash scripts/deps.sh --armhf
      dir=build-armhf triplet=arm-linux-gnueabihf
      cmake --no-warn-unused-cli -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_BENCH=OFF -DKORVANE_AREAS="" >/dev/null ;;
    amd64)
      dir=build triplet=x86_64-linux-gnu
      cmake --no-warn-unused-cli -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_SANITIZE="" -DKORVANE_AREAS="" \
        >/dev/null ;;
    *) echo "package: unknown architecture $arch" >&2; exit 1 ;;
  esac
  cmake --build "$dir" -j2 --target korvane

  stage="$work/$arch/debian/korvane"
  rm -rf "$work/$arch"
  install -D -m 0755 "$dir/core/start/korvane" "$stage/usr/bin/korvane"
  "$triplet-strip" --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/bin/korvane"
  install -d "$stage/usr/share/korvane/screens"
  install -m 0644 assets/screens/*.png "$stage/usr/share/korvane/screens/"
  install -D -m 0644 packaging/korvane.service "$stage/lib/systemd/system/korvane.service"
  # The unit's own paths under /opt are made at boot (and on install), never shipped: the working
  # directory with links to the screens, the setup folder, and the font names the program loads.
  {
    echo "# The paths the korvane program expects under /opt."
    echo "d /opt/Korvane 0755 root root -"
    echo "d /opt/set 0755 root root -"
    echo "d /opt/fonts 0755 root root -"
    for png in assets/screens/*.png; do
      n=$(basename "$png")
      echo "L /opt/Korvane/$n - - - - /usr/share/korvane/screens/$n"
    done
    echo "L /opt/fonts/PTS55F_W.ttf - - - - /usr/share/fonts/truetype/paratype/PTS55F.ttf"
    echo "L /opt/fonts/PTS75F_W.ttf - - - - /usr/share/fonts/truetype/paratype/PTS75F.ttf"
  } > "$work/tmpfiles.conf"
  install -D -m 0644 "$work/tmpfiles.conf" "$stage/usr/lib/tmpfiles.d/korvane.conf"
  install -D -m 0644 packaging/copyright "$stage/usr/share/doc/korvane/copyright"
  install -d "$stage/usr/share/doc/korvane"
  {
    echo "korvane ($version) bookworm; urgency=medium"
    echo
    echo "  * Built from commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)."
    echo
    echo " -- Korvane developers <dev@korvane.org>  $(date -R -u -d "@$SOURCE_DATE_EPOCH")"
  } | gzip -9n > "$stage/usr/share/doc/korvane/changelog.gz"
  chmod 0644 "$stage/usr/share/doc/korvane/changelog.gz"

  # Dependencies: the shared libraries the program links, as dpkg computes them, plus the fonts.
  install -d "$stage/DEBIAN"
  mkdir -p "$work/$arch/debian"
  printf 'Source: korvane\n\nPackage: korvane\nArchitecture: any\n' > "$work/$arch/debian/control"
  shlibs=$(cd "$work/$arch" && DEB_HOST_ARCH="$arch" dpkg-shlibdeps -O -e debian/korvane/usr/bin/korvane |
    sed -n 's/^shlibs:Depends=//p')
  [ -n "$shlibs" ] || { echo "package: dpkg-shlibdeps found no dependency" >&2; exit 1; }

  cat > "$stage/DEBIAN/control" <<CONTROL
Package: korvane
Version: $version
Architecture: $arch
Maintainer: Korvane developers <dev@korvane.org>
Installed-Size: $(du -sk --exclude=DEBIAN "$stage" | cut -f1)
Depends: $shlibs, fonts-dejavu-core, fonts-paratype
Section: hamradio
Priority: optional
Description: control program of an HF linear amplifier with antenna tuner
 Korvane runs on the amplifier's own board: it drives the screen, talks to
 the amplifier's controller and the automatic antenna tuner, follows the
 transceiver and serves the remote link.
 .
 A systemd service starts it at boot and restarts it after a crash. On a
 PC (amd64) the service is installed but not enabled.
CONTROL
  # Maintainer scripts in the shape debhelper writes them. Only the board's package enables and
  # starts the service; the PC's leaves it for the user to start.
  if [ "$arch" = armhf ]; then
    enable='	if deb-systemd-helper --quiet was-enabled korvane.service; then
		deb-systemd-helper enable korvane.service >/dev/null || true
	elif ! deb-systemd-helper debian-installed korvane.service; then
		deb-systemd-helper enable korvane.service >/dev/null || true
	else
		deb-systemd-helper update-state korvane.service >/dev/null || true
	fi'
    start='	if [ -d /run/systemd/system ]; then
		deb-systemd-invoke restart korvane.service >/dev/null || true
	fi'
  else
    enable='	deb-systemd-helper update-state korvane.service >/dev/null || true'
    start=':'
  fi
  cat > "$stage/DEBIAN/postinst" <<POSTINST
#!/bin/sh
set -e
if [ "\$1" = "configure" ] || [ "\$1" = "abort-upgrade" ] || [ "\$1" = "abort-deconfigure" ] || [ "\$1" = "abort-remove" ]; then
	if [ -x "\$(command -v systemd-tmpfiles)" ]; then
		systemd-tmpfiles \${DPKG_ROOT:+--root="\$DPKG_ROOT"} --create korvane.conf || true
	fi
	deb-systemd-helper unmask korvane.service >/dev/null || true
$enable
	if [ -d /run/systemd/system ]; then
		systemctl --system daemon-reload >/dev/null || true
	fi
$start
fi
POSTINST
  cat > "$stage/DEBIAN/prerm" <<'PRERM'
#!/bin/sh
set -e
if [ -z "${DPKG_ROOT:-}" ] && [ "$1" = remove ] && [ -d /run/systemd/system ]; then
	deb-systemd-invoke stop korvane.service >/dev/null || true
fi
PRERM
  cat > "$stage/DEBIAN/postrm" <<'POSTRM'
#!/bin/sh
set -e
if [ -d /run/systemd/system ]; then
	systemctl --system daemon-reload >/dev/null || true
fi
if [ "$1" = "remove" ]; then
	if [ -x "/usr/bin/deb-systemd-helper" ]; then
		deb-systemd-helper mask korvane.service >/dev/null || true
	fi
fi
if [ "$1" = "purge" ]; then
	if [ -x "/usr/bin/deb-systemd-helper" ]; then
		deb-systemd-helper purge korvane.service >/dev/null || true
		deb-systemd-helper unmask korvane.service >/dev/null || true
	fi
fi
POSTRM
  chmod 0755 "$stage/DEBIAN/postinst" "$stage/DEBIAN/prerm" "$stage/DEBIAN/postrm"
  (cd "$stage" && find . -type f ! -path './DEBIAN/*' -printf '%P\0' | sort -z | xargs -0 md5sum) \
    > "$stage/DEBIAN/md5sums"
  chmod 0644 "$stage/DEBIAN/md5sums"
  find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

  deb="dist/korvane_${version}_${arch}.deb"
  dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
  echo "package: built $deb"
  # lintian refuses nothing here but errors; warnings are listed for the reader.
  lintian --fail-on error --suppress-tags no-manual-page "$deb"
  echo "package: $deb passes lintian"
done
