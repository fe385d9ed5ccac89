#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Runs a logical-disk test program in a mount namespace of its own under umockdev's preload library, which
# AddressSanitizer is told not to insist on loading after its runtime.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" exec unshare -m --propagation private \
    umockdev-wrapper "$@"
