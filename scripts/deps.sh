#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Safe to run again: only missing packages are fetched.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build ccache pkg-config clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg62-turbo-dev libturbojpeg0-dev libpng-dev libcairo2-dev
  libsqlite3-dev libfreeimage-dev libkissfft-dev libsndfile1-dev libcli11-dev
  libyuv-dev libspeexdsp-dev
  # The pipe tests feed ffmpeg's test sources in and read our output back with
  # ffprobe; a portrait photograph is the real picture they film.
  ffmpeg python-matplotlib-data
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
