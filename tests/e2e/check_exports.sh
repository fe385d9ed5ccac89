#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The library exports exactly its entry points and nothing else.
expected="ClientConnected ClientDataRead ClientDisconnected DVCPluginEntry DriverClose DriverGetLastError DriverInfo DriverOpen DriverPoll DriverQueryInformation DriverSetInformation Load Log TRACE_INIT VdCallWd VdData VdLibMgr VdProcedures g_pLibMgrCallTable pcoip_vchan_plugin_client_exit pcoip_vchan_plugin_client_init pcoip_vchan_plugin_get_version pcoip_vchan_plugin_server_exit pcoip_vchan_plugin_server_init"
actual=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TWDBRVi]$/ {print $3}' | sed 's/@.*//' | LC_ALL=C sort -u | tr '\n' ' ')
[ "$actual" = "$expected " ] || { echo "exported: $actual"; echo "expected: $expected"; exit 1; }
