#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when some are missing.
# Quiet when everything is present. Run as root (or with sudo available).
set -euo pipefail

packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libyaml-cpp-dev
          libfftw3-dev
          # make evaluate: the peer libraries it compares with (never linked into the library)
          libspeexdsp-dev libwebrtc-audio-processing-dev)
# Command-line program: audio files, resampling, options, JSON; the demo's speech and picture.
packages+=(libsndfile1-dev libsoxr-dev libcli11-dev nlohmann-json3-dev espeak-ng gnuplot-nox)
# GStreamer plugin (gst/): headers and check library; base/good plugins and tools for its tests.
packages+=(libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-tools)
# make format-check, which CI runs first: the layout tool (Debian 12: version 14) and git.
packages+=(clang-format git)
# Extra packages wanted by optional targets (fuzzing with clang, ThreadSanitizer runs).
if [[ "${ORVO_WITH_CLANG:-0}" == "1" ]]; then
  packages+=(clang libclang-rt-14-dev)
fi
# Windows cross-build and its tests under Wine (make windows, make test-windows); yaml-cpp for
# the target is built from Debian's source package, which needs a deb-src entry.
if [[ "${ORVO_WITH_WINDOWS:-0}" == "1" ]]; then
  packages+=(g++-mingw-w64-x86-64 wine64 wine dpkg-dev)
  "$(dirname "$0")/windows/add_deb_src.sh"
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "bootstrap: installing ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1; then
  sudo="sudo"
else
  echo "bootstrap: missing packages (${missing[*]}) and not root; install them and retry" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq >/dev/null
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
