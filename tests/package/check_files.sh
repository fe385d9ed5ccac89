#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian package holds exactly the expected files: check_files.sh DEB. Multiarch directories read <multiarch>.
set -euo pipefail
expected=$(dirname "${BASH_SOURCE[0]}")/expected-files.txt
actual=$(dpkg-deb --contents "$1" | awk '{ sub(/^\./, "", $6); print $6 ($7 == "->" ? " -> " $8 : "") }' |
    sed "s|/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/|/<multiarch>/|; /\/$/d" | sort)
if ! diff -u "$expected" - <<<"$actual"; then
    echo "the package's files differ from $expected (-: expected, +: in the package)" >&2
    exit 1
fi
