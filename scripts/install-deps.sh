#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the
# benchmarks need, when any of them is missing.  Safe to run repeatedly.
set -euo pipefail

packages=(
  g++ cmake ninja-build make pkg-config python3
  zlib1g-dev libtinyxml-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nginx-light curl aria2 openssl iproute2 ccache
  nftables miniupnpd-nftables miniupnpc iperf3 gcovr
  clang libfuzzer-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
