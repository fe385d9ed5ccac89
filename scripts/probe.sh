#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the build needs, builds the library and the probe into build/
# and runs the probe with the arguments given here, e.g.
#
#   ./scripts/probe.sh --categories Name,OS --watch
#
# Everything but the probe's own output goes to stderr.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

installPackages >&2
configureAndBuild build -DCMAKE_BUILD_TYPE=RelWithDebInfo -- cvclient cvclient-probe >&2
exec "$CVCLIENT_ROOT/build/cvclient-probe" "$@"
