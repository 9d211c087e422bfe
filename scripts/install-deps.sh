#!/usr/bin/env bash
# Installs, as root on Debian 12, the packages the build and the tests need that are missing.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config ccache clang clang-format lld
  libsqlite3-dev zlib1g-dev libglib2.0-dev libicu-dev libplist-dev nlohmann-json3-dev
  libcurl4-openssl-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  libspdlog-dev systemtap-sdt-dev libsystemd-dev systemd
  libgtk-4-dev libxi-dev xvfb xauth dbus fonts-dejavu-core xdotool openbox imagemagick dunst
  postgresql libpq-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
