#!/bin/sh
# Runs a logical-disk test program in a mount namespace of its own, with
# umockdev's preload library, so that libudev sees the program's testbed and
# its mounts stay private. AddressSanitizer wants its runtime first among the
# loaded libraries; with the preload library in front it is told not to check
# (the options set by the caller are kept).
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
exec unshare -m --propagation private umockdev-wrapper "$@"
