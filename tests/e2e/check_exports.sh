#!/bin/sh
# The library exports exactly its entry points and nothing else.
set -eu
export LC_ALL=C
library=$1
expected="ClientConnected ClientDataRead ClientDisconnected DVCPluginEntry DriverClose DriverGetLastError DriverInfo DriverOpen DriverPoll DriverQueryInformation DriverSetInformation Load Log TRACE_INIT VdCallWd VdData VdLibMgr VdProcedures g_pLibMgrCallTable pcoip_vchan_plugin_client_exit pcoip_vchan_plugin_client_init pcoip_vchan_plugin_get_version pcoip_vchan_plugin_server_exit pcoip_vchan_plugin_server_init"
actual=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TWDBRVi]$/ {print $3}' | sed 's/@.*//' | sort -u | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
    echo "exported: $actual"
    echo "expected: $expected"
    exit 1
fi
echo "exports: $actual"
