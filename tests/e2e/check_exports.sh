#!/bin/sh
# The library exports exactly its entry points and nothing else.
set -eu
library=$1
expected="ClientConnected ClientDataRead ClientDisconnected Log TRACE_INIT"
actual=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TWDBRVi]$/ {print $3}' | sed 's/@.*//' | sort -u | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
    echo "exported: $actual"
    echo "expected: $expected"
    exit 1
fi
echo "exports: $actual"
