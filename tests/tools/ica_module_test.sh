#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# cvclient-ica-module on module.ini files as the ICA client ships them and on hostile ones: ica_module_test.sh COMMAND.
COMMAND=$1 WORK=$(mktemp -d) FAILURES=0
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*" >&2; FAILURES=$((FAILURES + 1)); }
printf '[WFClient]\r\nVersion=2\r\n\r\n[ICA 3.0]\r\nVirtualDriver = Thinwire3.0, ClientDrive ,Clipboard\r\nThinwire3.0=On\r\n\r\n[Clipboard]\r\nDriverName=VDCLIPN.DLL\r\n' >"$WORK/original"
cp "$WORK/original" "$WORK/module.ini" && chmod 640 "$WORK/module.ini"
"$COMMAND" add "$WORK/module.ini" && cp "$WORK/module.ini" "$WORK/added" && "$COMMAND" add "$WORK/module.ini" &&
    cmp -s "$WORK/module.ini" "$WORK/added" && [ "$(stat -c %a "$WORK/module.ini")" = 640 ] &&
    grep -q $'^VirtualDriver = Thinwire3.0, ClientDrive ,Clipboard, Corvane\r$' "$WORK/added" &&
    [ "$(sed -n '/^\[ICA 3.0\]/,/^\[Clipboard\]/p' "$WORK/added" | grep -c $'^Corvane=On\r$')" = 1 ] &&
    grep -q $'^\\[Corvane\\]\r$' "$WORK/added" && grep -q $'^DriverName=/.*/cvclient/libcvclient.so.1\r$' "$WORK/added" &&
    [ "$(diff "$WORK/original" "$WORK/added" | grep -c '^<')" = 1 ] || fail "add is not one list entry, Corvane=On and [Corvane]"
"$COMMAND" remove "$WORK/module.ini" && "$COMMAND" remove "$WORK/module.ini" && cmp -s "$WORK/module.ini" "$WORK/original" ||
    fail "remove does not give back the original file"
# Refused, the file untouched: a link, a device, NUL bytes, no [ICA 3.0], a driver path with a line break.
ln -s "$WORK/module.ini" "$WORK/link" && printf '[ICA 3.0]\0\n' >"$WORK/nul" && printf '[Other]\n' >"$WORK/other"
for arguments in "add $WORK/link" "add /dev/null" "add $WORK/nul" "add $WORK/other" "add $WORK/missing" \
    "add $WORK/module.ini --driver /a$'\n'[x]"; do
    eval "\"\$COMMAND\" $arguments" 2>"$WORK/err"
    [ $? -eq 1 ] && grep -q refused "$WORK/err" || grep -q 'No such file' "$WORK/err" || fail "'$arguments' is not refused"
done
cmp -s "$WORK/module.ini" "$WORK/original" || fail "a refused call changed the file"
[ "$FAILURES" -eq 0 ] || { echo "$FAILURES check(s) failed" >&2; exit 1; }
