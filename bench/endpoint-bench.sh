#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# endpoint-bench.sh [CHECKS] [PAIRS]: installs what the benchmark needs (the build's and tests' packages, and
# facter), builds the library, the probe and the benchmark's driver into build-bench/ (RelWithDebInfo), and
# measures them on a realistic endpoint made in private namespaces (bench/endpoint.py). Needs root.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
installPackages
asRoot env DEBIAN_FRONTEND=noninteractive apt-get install -y facter >/dev/null
configureAndBuild build-bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVCLIENT_TESTS=OFF -DCVCLIENT_SANITIZE= -- \
    cvclient cvclient-probe cvclient-bench
exec unshare -m -n --propagation private /usr/bin/python3 "$CVCLIENT_ROOT/bench/endpoint.py" \
    "$CVCLIENT_ROOT/build-bench" "$@"
