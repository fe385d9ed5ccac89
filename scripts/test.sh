#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs what the build needs, then builds and runs the tests three times:
# a plain build (build/), AddressSanitizer with UndefinedBehaviorSanitizer
# (build-asan/), and ThreadSanitizer (build-tsan/); builds the Debian package
# from a clone of the committed tree and checks its files; then builds the fuzz
# targets and runs each for CVCLIENT_FUZZ_SECONDS (default 20) on its seeds,
# with its regression inputs (scripts/fuzz.sh). Stops at the first failure.
set -euo pipefail
# shellcheck source=scripts/common.sh
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

runTests() {
    ctest --test-dir "$CVCLIENT_ROOT/$1" --output-on-failure -j2 "${@:2}"
}

installPackages

echo "=== plain build" >&2
configureAndBuild build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVCLIENT_TESTS=ON -DCVCLIENT_SANITIZE=
runTests build

echo "=== Debian package (of the committed tree)" >&2
packageDir=$(mktemp -d)
git clone --quiet "$CVCLIENT_ROOT" "$packageDir/cvclient"
(cd "$packageDir/cvclient" && dpkg-buildpackage -us -uc -b -j2 >"$packageDir/build.log" 2>&1) ||
    { tail -n 40 "$packageDir/build.log" >&2; exit 1; }
"$CVCLIENT_ROOT/tests/package/check_files.sh" "$packageDir"/cvclient_*.deb
rm -rf "$packageDir"

echo "=== AddressSanitizer and UndefinedBehaviorSanitizer" >&2
configureAndBuild build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVCLIENT_TESTS=ON -DCVCLIENT_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 runTests build-asan

echo "=== ThreadSanitizer" >&2
configureAndBuild build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVCLIENT_TESTS=ON -DCVCLIENT_SANITIZE=thread
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
if [ -f "$CVCLIENT_ROOT/tests/tsan.supp" ]; then
    TSAN_OPTIONS+=" suppressions=$CVCLIENT_ROOT/tests/tsan.supp"
fi
# ThreadSanitizer cannot always map its shadow memory under the address
# layout randomisation of newer kernels; run the tests without it when the
# system allows that.
withoutRandomisation=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
    withoutRandomisation=(setarch "$(uname -m)" -R)
fi
TSAN_OPTIONS=$TSAN_OPTIONS "${withoutRandomisation[@]}" \
    ctest --test-dir "$CVCLIENT_ROOT/build-tsan" --output-on-failure -j2 --no-tests=error

fuzzSeconds=${CVCLIENT_FUZZ_SECONDS:-20}
echo "=== fuzz targets, $fuzzSeconds s each" >&2
"$CVCLIENT_ROOT/scripts/fuzz.sh" "$fuzzSeconds"

echo "=== all tests passed" >&2
