#!/usr/bin/env bash
# Installs the Debian packages that building and testing need. Fast when
# everything is already there; run as root (or with sudo available).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git ca-certificates
  libcrypto++-dev libbz2-dev libcurl4-openssl-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcpp-httplib-dev libcli11-dev nlohmann-json3-dev libedit-dev
  libboost1.81-dev
  dpkg-dev clang-format-14 clang-tidy-14 go-md2man
  libsqlite3-dev
  libpq-dev postgresql
)
if [ "${PROXYHELPER_EXTRA_PACKAGES:-}" ]; then
  read -r -a extra <<<"$PROXYHELPER_EXTRA_PACKAGES"
  packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
