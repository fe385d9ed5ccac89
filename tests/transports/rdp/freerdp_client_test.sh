#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# freerdp_client_test.sh HOST_BINARY LIBRARY: the library as the dynamic
# channel add-in "Corvane" of the real xfreerdp (under an Xvfb of its own),
# answering cvclient-rdp-test-host on 127.0.0.1; the host gives the verdict.
# xfreerdp loads lib<name>-client.so only from its own add-in directory: the
# client runs in a private mount namespace with an overlay that adds the
# library there. A sanitized library gets its runtimes preloaded into the
# (uninstrumented) client by the dynamic loader. Needs root.
set -u
HOST=$(readlink -f "$1") LIBRARY=$(readlink -f "$2") WORK=$(mktemp -d) XVFB="" CLIENT=""
cleanup() {
    [ -n "$CLIENT" ] && kill -KILL -- "-$CLIENT" 2>/dev/null
    [ -n "$XVFB" ] && kill -TERM "$XVFB" 2>/dev/null && wait "$XVFB"
    rm -rf "$WORK"
}
trap cleanup EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/key" -out "$WORK/crt" -days 2 -subj /CN=localhost 2>/dev/null
mkdir -p "$WORK/home" "$WORK/layer/freerdp2"
ln -s "$LIBRARY" "$WORK/layer/freerdp2/libCorvane-client.so"
ADDINS=/usr/lib/x86_64-linux-gnu
CLIENT_COMMAND=(xfreerdp)
PRELOAD=$(ldd "$LIBRARY" | awk '$1 ~ /^lib(asan|tsan|ubsan)\.so/ {print $3}' | paste -sd:)
if [ -n "$PRELOAD" ]; then
    printf 'race:libglib-2.0.so\nrace:libwinpr2.so\nrace:libfreerdp2.so\nrace:libfreerdp-client2.so\nrace:xfreerdp\ndeadlock:libwinpr2.so\n' \
        >"$WORK/tsan.supp"
    CLIENT_COMMAND=(env ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$WORK/tsan.supp"
        /lib64/ld-linux-x86-64.so.2 --preload "$PRELOAD" "$(command -v xfreerdp)")
fi
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
XVFB=$!
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" "$HOST" "$WORK/crt" "$WORK/key" >"$WORK/host" 2>&1 &
HOST_PID=$!
for _ in $(seq 100); do grep -q '^PORT ' "$WORK/host" && break; sleep 0.1; done
setsid env -u CORVANE_MAIN_LOOP DISPLAY=":$(cat "$WORK/display")" HOME="$WORK/home" \
    CORVANE_LOGGING_FILE="$WORK/cvclient.log" unshare -m --propagation private sh -c \
    "mount -t overlay overlay -o lowerdir=$WORK/layer:$ADDINS $ADDINS && exec \"\$@\"" sh "${CLIENT_COMMAND[@]}" \
    "/v:127.0.0.1:$(sed -n 's/^PORT //p' "$WORK/host")" /cert:ignore /sec:tls -authentication /dvc:Corvane \
    >"$WORK/client" 2>&1 &
CLIENT=$!
wait "$HOST_PID"
HOST_STATUS=$?
# Logged off, the client leaves by itself, not killed by a signal.
for _ in $(seq 300); do kill -0 "$CLIENT" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$CLIENT" 2>/dev/null; then CLIENT_STATUS=timeout; else wait "$CLIENT"; CLIENT_STATUS=$?; CLIENT=""; fi
cat "$WORK/host"
# The core's line "disconnected from the host" is the trace the channel's close leaves.
if [ "$HOST_STATUS" -ne 0 ] || [ "$CLIENT_STATUS" = timeout ] || [ "$CLIENT_STATUS" -ge 128 ] ||
    ! grep -q '] disconnected from the host' "$WORK/cvclient.log"; then
    echo "FAIL: host exited $HOST_STATUS, client $CLIENT_STATUS"
    tail -n 30 "$WORK/client" "$WORK/cvclient.log"
    exit 1
fi
