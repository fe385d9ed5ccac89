#!/usr/bin/env bash
# The probe run as a person at the endpoint runs it, against the built library.
#
#   probe_test.sh PROBE LIBRARY
#
# IGEL's `get` tool is replaced by a script on PATH that answers from files in
# a temporary directory, so the OS version can be changed under a watching probe.
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 PROBE LIBRARY" >&2
    exit 2
fi
PROBE=$1
LIBRARY=$2
PYTHON=/usr/bin/python3

WORK=$(mktemp -d)
WATCHER=""
cleanup() {
    if [ -n "$WATCHER" ] && kill -0 "$WATCHER" 2>/dev/null; then
        kill -KILL "$WATCHER" 2>/dev/null
        wait "$WATCHER" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/bin"
echo "11.01.100" >"$WORK/product.version"
cat >"$WORK/bin/get" <<EOF
#!/bin/sh
case "\$1" in
    product.version) cat "$WORK/product.version" ;;
    product.productname) echo "Probe Test OS" ;;
esac
EOF
chmod +x "$WORK/bin/get"
export PATH="$WORK/bin:$PATH"
export CORVANE_LOGGING_FILE="$WORK/cvclient.log"

FAILURES=0
fail() {
    echo "FAIL: $*" >&2
    FAILURES=$((FAILURES + 1))
}

# Runs the probe with a time limit: output in $WORK/out, errors in $WORK/err,
# exit code in $STATUS.
probe() {
    timeout -s KILL 60 "$PROBE" --library "$LIBRARY" "$@" >"$WORK/out" 2>"$WORK/err"
    STATUS=$?
}

show() {
    echo "--- stdout:" >&2
    cat "$WORK/out" >&2
    echo "--- stderr:" >&2
    cat "$WORK/err" >&2
}

# Keys shown in the table, one per line.
tableKeys() {
    sed -n 's/^  \(DEVICE_[A-Z0-9_]*\) .*/\1/p' "$1"
}

# Waits up to 30 s for a pattern in a file.
waitFor() {
    local pattern=$1 file=$2 deadline=$((SECONDS + 30))
    while [ $SECONDS -lt $deadline ]; do
        grep -Eq -- "$pattern" "$file" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Every web service a category could ask points at a closed port of this
# machine, so the runs that ask for every category never leave it.
LOCAL_SERVICES=()
for key in ProviderIpUrl ProviderDnsUrl ProviderIspUrl ProviderCountryUrl AlternativeIpUrl; do
    LOCAL_SERVICES+=(--config "Whois.$key=https://127.0.0.1:9/$key")
done

# --- Default run: every category, a readable table.
probe "${LOCAL_SERVICES[@]}"
if [ "$STATUS" -ne 0 ]; then
    fail "default run exited $STATUS"; show
fi
grep -Eq '^  DEVICE_CORVANE_VERSION +=  *[0-9]+(\.[0-9]+)+$' "$WORK/out" || { fail "default run shows no DEVICE_CORVANE_VERSION"; show; }
grep -Eq '^  DEVICE_OS_NAME +=  *IGEL$' "$WORK/out" || { fail "default run does not show DEVICE_OS_NAME = IGEL"; show; }
grep -Eq '^  DEVICE_OS_VERSION +=  *11\.01\.100$' "$WORK/out" || { fail "default run does not show the OS version from get"; show; }
grep -Eq '^Device OS +: IGEL$' "$WORK/out" || { fail "default run has no device OS in its header"; show; }
grep -Eq '^Answered in +: [0-9]+ ms$' "$WORK/out" || { fail "default run does not say how long the answer took"; show; }

# --- --json: the library's messages as they are.
probe --json "${LOCAL_SERVICES[@]}"
if [ "$STATUS" -ne 0 ]; then
    fail "--json exited $STATUS"; show
fi
if ! "$PYTHON" -c '
import json, sys
messages = [json.loads(line) for line in open(sys.argv[1]) if line.strip()]
initial = [m for m in messages if m.get("id") == "initializeDeviceProperties"]
assert len(initial) == 1, "expected one initial message, got %d" % len(initial)
keys = dict(initial[0]["data"]["updated"])
assert keys.get("DEVICE_OS_NAME") == "IGEL", keys
' "$WORK/out"; then
    fail "--json does not print the initial message as one JSON line"; show
fi

# --- --categories: only what was asked for.
probe --categories Corvane
keys=$(tableKeys "$WORK/out")
if [ "$STATUS" -ne 0 ] || [ "$keys" != "DEVICE_CORVANE_VERSION" ]; then
    fail "--categories Corvane shows [$keys] (exit $STATUS)"; show
fi

# --- --filter: status 1 with the bits; the category is asked for even if unlisted.
probe --filter Name=0x20
keys=$(tableKeys "$WORK/out")
if [ "$STATUS" -ne 0 ] || ! grep -qx DEVICE_ID <<<"$keys" || grep -Eqx 'DEVICE_NAME(_DNS)?' <<<"$keys"; then
    fail "--filter Name=0x20 shows [$keys] (exit $STATUS)"; show
fi
probe --categories Corvane --filter Name=32
keys=$(tableKeys "$WORK/out" | sort | tr '\n' ' ')
if [ "$STATUS" -ne 0 ] || [ "$keys" != "DEVICE_CORVANE_VERSION DEVICE_ID " ]; then
    fail "--categories Corvane --filter Name=32 shows [$keys] (exit $STATUS)"; show
fi

# --- --log: the library logs to the given file.
probe --categories Corvane --log "$WORK/own.log"
if [ "$STATUS" -ne 0 ] || ! grep -Eq 'cvclient\([0-9]+:[0-9]+\) : [A-Za-z_]+ : ENTER$' "$WORK/own.log" 2>/dev/null; then
    fail "--log does not put the library's log in the given file (exit $STATUS)"; show
fi

# --- --help: usage on stdout.
probe --help
if [ "$STATUS" -ne 0 ] || ! grep -q '^Usage: ' "$WORK/out"; then
    fail "--help exited $STATUS or printed no usage"; show
fi

# --- Bad usage: exit 2, usage on stderr, nothing on stdout.
for arguments in "--bogus" "--categories" "--categories Nosuch" "--filter Name" "--filter Name=0xZZ" \
    "--filter Name=0x100000000" "--interval soon" "--interval -1" "--config Custom" "--config Custom.=x" \
    "--categories Corvane --config Custom.key=value" "stray"; do
    # shellcheck disable=SC2086  # the arguments are split on purpose
    probe $arguments
    if [ "$STATUS" -ne 2 ] || ! grep -q '^Usage: ' "$WORK/err" || [ -s "$WORK/out" ]; then
        fail "'$arguments' exited $STATUS, not 2 with usage on stderr"; show
    fi
done

# --- A library that cannot be loaded: exit 1 naming the path.
timeout -s KILL 60 "$PROBE" --library /nonexistent.so >"$WORK/out" 2>"$WORK/err"
STATUS=$?
if [ "$STATUS" -ne 1 ] || ! grep -q '/nonexistent.so' "$WORK/err"; then
    fail "--library /nonexistent.so exited $STATUS"; show
fi
# A loadable library that lacks the entry points: exit 1 naming the symbol.
# GLib, which the probe itself links, serves as one.
GLIB=$(ldd "$PROBE" | awk '/libglib-2\.0\.so/ { print $3; exit }')
timeout -s KILL 60 "$PROBE" --library "$GLIB" >"$WORK/out" 2>"$WORK/err"
STATUS=$?
if [ "$STATUS" -ne 1 ] || ! grep -q 'ClientConnected' "$WORK/err"; then
    fail "a library without the entry points exited $STATUS"; show
fi

# --- --watch: a changed OS version arrives as an update; SIGINT ends the probe with 0.
"$PROBE" --library "$LIBRARY" --watch --interval 200 --categories OS,Corvane >"$WORK/out" 2>"$WORK/err" &
WATCHER=$!
if ! waitFor '^  DEVICE_OS_VERSION +=  *11\.01\.100$' "$WORK/out"; then
    fail "--watch shows no initial OS version"; show
fi
echo "11.02.200" >"$WORK/product.version"
if ! waitFor '^Update ' "$WORK/out" ||
    ! waitFor '^  DEVICE_OS_VERSION +=  *11\.02\.200$' "$WORK/out"; then
    fail "--watch shows no update of DEVICE_OS_VERSION"; show
fi
if sed -n '/^Update /,$p' "$WORK/out" | grep -q 'DEVICE_CORVANE_VERSION'; then
    fail "--watch update repeats an unchanged key"; show
fi
kill -INT "$WATCHER"
deadline=$((SECONDS + 30))
while kill -0 "$WATCHER" 2>/dev/null && [ $SECONDS -lt $deadline ]; do
    sleep 0.1
done
if kill -0 "$WATCHER" 2>/dev/null; then
    fail "--watch still running 30 s after SIGINT"; show
else
    wait "$WATCHER"
    STATUS=$?
    WATCHER=""
    if [ "$STATUS" -ne 0 ]; then
        fail "--watch ended by SIGINT exited $STATUS"; show
    fi
fi

if [ "$FAILURES" -ne 0 ]; then
    echo "$FAILURES check(s) failed" >&2
    exit 1
fi
echo "all probe checks passed"
