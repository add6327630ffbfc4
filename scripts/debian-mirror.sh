#!/usr/bin/env bash
# Prints the Debian mirror that this machine's apt takes bookworm from (the
# machine's configured Debian mirror, as an address such as
# http://HOST/debian), for the scripts that fetch from Debian themselves (the
# ARM64 toolchain's source packages, the arm64 root).
#
# VX_DEBIAN_MIRROR, when set, is printed instead. Otherwise the machine's own
# apt sources decide, in either format (sources.list lines or deb822
# .sources files, as apt itself reads them): the first entry for
# bookworm's main suite (not -updates or -security), so that a machine that
# reaches Debian only through its own mirror or proxy keeps using it.
set -euo pipefail

if [[ -n ${VX_DEBIAN_MIRROR:-} ]]; then
    printf '%s\n' "${VX_DEBIAN_MIRROR%/}"
    exit 0
fi

# What `apt-get update` would fetch, from apt's own reading of the sources
# (it needs no package lists): the mirror is what comes before
# /dists/bookworm/ in the first such address.
mirror=$(apt-get update --print-uris |
    sed -n "s|^'\(.*\)/dists/bookworm/InRelease' .*|\1|p; T; q")
if [[ -z $mirror ]]; then
    echo "debian-mirror: no apt source for Debian bookworm is configured on this machine;" \
        "configure the machine's Debian mirror in its apt sources, or set VX_DEBIAN_MIRROR" \
        "to the address of a Debian mirror" >&2
    exit 1
fi
printf '%s\n' "${mirror%/}"
