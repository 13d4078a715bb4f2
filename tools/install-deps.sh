#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when
# any is missing. Idempotent: does nothing (and needs no network) when all are
# there.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libboost-dev libboost-thread-dev libboost-program-options-dev libboost-filesystem-dev
  libboost-date-time-dev libboost-python-dev
  liblog4cplus-dev
  libcurl4-openssl-dev
  nlohmann-json3-dev chromium
  libgtest-dev
  python3 python3-dev python3-pytest python3-hypothesis
)

# `tools/install-deps.sh bench` (run by `make bench`) adds what the benchmarks
# compare against; the list above stays what the build and the tests need.
bench_packages=(nginx-light python3-pycurl libcurl4-openssl-dev chromium nodejs strace)
if [ "${1:-}" = bench ]; then
  packages+=("${bench_packages[@]}")
  # Some nodejs builds carry npm themselves and conflict with Debian's npm.
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing missing Debian packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "error: run as root (or install them yourself: apt-get install ${missing[*]})" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
