#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The probe run as a person at the endpoint runs it: probe_test.sh PROBE LIBRARY. IGEL's `get` is a script
# first on PATH answering from a file (with `get_unit_id`, the endpoint is IGEL OS), so the OS version can change under a watching probe.
PROBE=$1 LIBRARY=$2 WORK=$(mktemp -d) WATCHER="" FAILURES=0
trap '[ -z "$WATCHER" ] || kill -KILL "$WATCHER" 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir "$WORK/bin" && echo 11.01.100 >"$WORK/version"
printf '#!/bin/sh\n[ "$1" != product.version ] || cat %s\n' "$WORK/version" >"$WORK/bin/get" && chmod +x "$WORK/bin/get"
printf '#!/bin/sh\necho 00E0C5123456\n' >"$WORK/bin/get_unit_id" && chmod +x "$WORK/bin/get_unit_id"  # with get: IGEL OS
export PATH="$WORK/bin:$PATH" CORVANE_LOGGING_FILE="$WORK/cvclient.log"
fail() { echo "FAIL: $*" >&2; cat "$WORK/out" "$WORK/err" >&2; FAILURES=$((FAILURES + 1)); }
probe() { timeout -s KILL 60 "$PROBE" --library "$LIBRARY" "$@" >"$WORK/out" 2>"$WORK/err"; }
keys() { sed -n 's/^  \(DEVICE_[A-Z0-9_]*\) .*/\1/p' "$WORK/out" | sort | tr '\n' ' '; }
has() { grep -Eq -- "$1" "$WORK/out"; }
waitFor() { for _ in $(seq 300); do has "$1" && return 0; sleep 0.1; done; return 1; }

probe --categories OS,Corvane && has '^  DEVICE_OS_VERSION += +11\.01\.100$' && has '^Device OS +: IGEL$' &&
    has '^  DEVICE_CORVANE_VERSION += +[0-9]+(\.[0-9]+)+$' || fail "the table shows no OS and probe version"
probe --json --categories Corvane && python3 -c 'import json, sys
[m] = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
assert m["id"] == "initializeDeviceProperties" and [k for k, v in m["data"]["updated"]] == ["DEVICE_CORVANE_VERSION"]
' "$WORK/out" || fail "--json does not print the one initial message"
probe --categories Corvane --filter Name=32 && [ "$(keys)" = "DEVICE_CORVANE_VERSION DEVICE_ID " ] ||
    fail "--filter shows [$(keys)]"
for arguments in --bogus --categories "--categories Nosuch" "--filter Name=0x100000000" "--interval -1" stray \
    "--format xml" "--exclude Name --filter Name=1"; do
    probe $arguments
    [ $? -eq 2 ] && [ "$(wc -l <"$WORK/err")" -eq 2 ] && grep -q "^Try 'cvclient-probe --help'" "$WORK/err" &&
        [ ! -s "$WORK/out" ] || fail "'$arguments' is no usage error"
done
# ARGUMENTS | exit status | what stdout shows (ERE) | what stderr shows (ERE; -: nothing)
while IFS='|' read -r arguments status out err; do
    eval "set -- $arguments"; probe "$@"; code=$?
    [ "$code" -eq "$status" ] && has "$out" && { [ "$err" = - ] && [ ! -s "$WORK/err" ] || grep -Eq -- "$err" "$WORK/err"; } || fail "'$arguments' exited $code"
done <<EOF
--version|0|^cvclient-probe [0-9.]+$|-
--categories 'Name, OS ' --exclude ' OS'|0|^Properties +: 3$|-
--categories Corvane --host-version 20.x|0|DEVICE_CORVANE|warning: --host-version: '20.x'
--categories Corvane --log $WORK/none/x.log|0|DEVICE_CORVANE|warning: --log: cannot write
--categories Corvane --format facts|0|^\{"kind":"initial","index":0,"time":"[0-9-]{10}T[0-9:]{8}Z",.*"Corvane":\{"DEVICE_CORVANE_VERSION":"[0-9.]+"\}\}$|-
EOF
for arguments in --version "--categories Corvane"; do
    "$PROBE" --library "$LIBRARY" $arguments >/dev/full 2>"$WORK/err"
    [ $? -eq 1 ] && grep -q 'write error.*No space left' "$WORK/err" || fail "'$arguments >/dev/full' is no error"
done
LIBRARY=/nonexistent.so probe; [ $? -eq 1 ] && grep -q /nonexistent.so "$WORK/err" || fail "a missing library"
"$PROBE" --library "$LIBRARY" --watch --interval 200 --categories OS,Corvane >"$WORK/out" 2>"$WORK/err" & WATCHER=$!
waitFor '^  DEVICE_OS_VERSION += +11\.01\.100$' && echo 11.02.200 >"$WORK/version" &&
    waitFor '^  DEVICE_OS_VERSION += +11\.02\.200$' && ! sed -n '/^Update /,$p' "$WORK/out" | grep -q DEVICE_CORVANE ||
    fail "--watch shows no update of only the OS version"
kill -INT "$WATCHER"; wait "$WATCHER" || fail "--watch ended by SIGINT exited $?"; WATCHER=""
[ "$FAILURES" -eq 0 ] || { echo "$FAILURES check(s) failed" >&2; exit 1; }
