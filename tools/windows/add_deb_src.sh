#!/usr/bin/env bash
# Makes Debian source packages of the running suite available to `apt-get source`: adds a
# deb-src entry beside the system's own entry when none exists. The Windows build compiles
# yaml-cpp from Debian's source package with the MinGW-w64 toolchain and needs this.
# Run as root. Quiet when an entry is present already.
set -euo pipefail

have_deb_src() {
  grep -rqsE '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    && return 0
  grep -rqsiE '^Types:.*deb-src' /etc/apt/sources.list.d/*.sources && return 0
  return 1
}
have_deb_src && exit 0

# shellcheck disable=SC1091
. /etc/os-release
suite="${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}"
# The mirror of the existing entry for this suite (deb822 or one-line form), else the default.
uri=""
if compgen -G '/etc/apt/sources.list.d/*.sources' >/dev/null; then
  uri=$(awk -v s="$suite" '
    /^URIs:/ {u=$2} /^Suites:/ {for (i = 2; i <= NF; ++i) if ($i == s) found=u}
    /^$/ {u=""} END {print found}' /etc/apt/sources.list.d/*.sources)
fi
if [[ -z "$uri" && -f /etc/apt/sources.list ]]; then
  uri=$(awk -v s="$suite" '$1 == "deb" && $3 == s {print $2; exit}' /etc/apt/sources.list)
fi
uri="${uri:-http://deb.debian.org/debian}"

if [[ $(id -u) -eq 0 ]]; then sudo=""; else sudo="sudo"; fi
echo "bootstrap: adding deb-src for $suite ($uri)"
$sudo tee /etc/apt/sources.list.d/orvoaec-deb-src.sources >/dev/null <<ENTRY
Types: deb-src
URIs: $uri
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
ENTRY
$sudo apt-get update -qq >/dev/null
