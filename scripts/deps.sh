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
  # The window system: the skin bundle is a zip archive, the console's resource
  # library is compiled by the mingw resource compiler and linked as a PE module,
  # and the desktop tests run an X server in memory and drive it with xdotool.
  libzip-dev libx11-dev binutils-mingw-w64-i686 xvfb xdotool fonts-dejavu-core
  # The shell links the platform writes are read back by an independent reader
  # of the format (lnkinfo).
  liblnk-utils
  # Synthesised speech for the microphone processing's evaluation scenes.
  espeak-ng
)
# Real photographs for the imaging tests (a portrait and grey photographed
# scenes); only their data is used, so nothing they recommend is needed.
PHOTO_PACKAGES=(python3-skimage)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
missing=()
for p in "${PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
missing_photos=()
for p in "${PHOTO_PACKAGES[@]}"; do installed "$p" || missing_photos+=("$p"); done

if [ $(( ${#missing[@]} + ${#missing_photos[@]} )) -gt 0 ]; then
  echo "Installing: ${missing[*]} ${missing_photos[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
  fi
  if [ ${#missing_photos[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing_photos[@]}"
  fi
fi
