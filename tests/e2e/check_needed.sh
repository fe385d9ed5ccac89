#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The library has no NEEDED entry for a platform library it loads on first use.
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
lazy=$(echo "$needed" | grep -E '^lib(glib-2\.0|gobject-2\.0|gio-2\.0|systemd|nm|upower-glib|curl|curl-gnutls|udev|xcb|xcb-randr|xcb-xkb)\.so')
[ -n "$needed" ] && [ -z "$lazy" ] || { echo "needed: $needed"; exit 1; }
