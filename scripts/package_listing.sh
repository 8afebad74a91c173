#!/usr/bin/env bash
# Prints what the Debian package holds as the README shows it: files only,
# without dates. Usage: scripts/package_listing.sh PACKAGE.deb
set -euo pipefail
dpkg-deb -c "$1" | awk '$1 !~ /^d/ { printf "%s %s %9s %s\n", $1, $2, $3, $6 }'
