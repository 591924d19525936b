# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages Tarnwick needs to build, test and run; sourced by run.sh and test.sh.
TARNWICK_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev libpcap-dev libcurl4-openssl-dev libssl-dev libcap-dev dpkg-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev
  clang libclang-rt-14-dev clang-format
  lintian appstream desktop-file-utils
  ca-certificates openssl
  libnghttp2-dev libnghttp3-dev nghttp2-server nghttp2-client nghttp2-proxy libexpat1-dev zlib1g-dev libzstd-dev
  ffmpeg xdg-utils tcpdump tcpreplay curl iproute2 libcap2-bin xvfb xauth fonts-dejavu-core fonts-liberation2
  tshark chromium
)

tarnwick_install_packages() {
  local missing=()
  for p in "${TARNWICK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}" >&2
    echo "Install them as root: apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
