#!/usr/bin/env bash
# The library as the dynamic virtual channel add-in "Corvane" of the real
# FreeRDP client (xfreerdp under Xvfb), answering a test RDP host on 127.0.0.1.
#
#   freerdp_client_test.sh HOST_BINARY LIBRARY
#
# HOST_BINARY is cvclient-rdp-test-host, LIBRARY the built libcvclient.so.
#
# xfreerdp loads a dynamic channel add-in only from lib<name>-client.so in its
# own add-in directory. The library is made visible there without touching the
# machine: the client runs in a private mount namespace in which that directory
# is replaced by a temporary one (a bind mount of a copy when the directory
# exists, else an overlay on its parent) holding libCorvane-client.so, a link
# to LIBRARY. IGEL's `get` tool is a script on the client's PATH answering from
# a file, so the OS version can change during the session. The script runs
# Xvfb itself, as its own child, so that it can stop it cleanly (Xvfb removes
# its lock file and socket in /tmp only when it is not killed outright).
#
# The client iterates no GLib main context, and nothing in its environment
# asks the library for anything: the library works on a thread of its own, so
# after the host has changed the OS version it must send an update carrying
# the new value. The host sends its Initialise packet in three pieces, the
# first one a part of the header. Then the host closes the channel and logs
# the client off; the client must leave by itself without dying of a signal.
#
# Needs root (mount namespaces), xfreerdp, Xvfb, unshare and openssl.
# Exit status: 0 passed, 1 failed, 2 bad usage or missing tools.
set -u

# waitForLine FILE SED_SCRIPT PID: prints what SED_SCRIPT makes of FILE as soon
# as that is not empty; gives up (printing nothing) after 30 s or when PID ends.
waitForLine() {
    local file=$1 script=$2 pid=$3 found="" i
    for i in $(seq 300); do
        found=$(sed -n "$script" "$file" 2>/dev/null)
        [ -n "$found" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    printf '%s' "$found"
}


if [ $# -ne 2 ]; then
    echo "usage: $0 HOST_BINARY LIBRARY" >&2
    exit 2
fi
HOST_BINARY=$(readlink -f "$1")
LIBRARY=$(readlink -f "$2")
if [ ! -x "$HOST_BINARY" ] || [ ! -f "$LIBRARY" ]; then
    echo "error: $1 must be an executable and $2 a library" >&2
    exit 2
fi
for tool in xfreerdp Xvfb unshare openssl mount setsid; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "error: $tool is not installed (scripts/common.sh lists the packages)" >&2
        exit 2
    fi
done
if [ "$(id -u)" -ne 0 ]; then
    echo "error: a private mount namespace needs root" >&2
    exit 2
fi

ADDIN_DIR=${FREERDP_ADDIN_DIR:-}
if [ -z "$ADDIN_DIR" ]; then
    libdir=$(pkg-config --variable=libdir freerdp2 2>/dev/null || true)
    ADDIN_DIR=${libdir:-/usr/lib/x86_64-linux-gnu}/freerdp2
fi

# Generous limits that turn a hang into a failure.
HOST_TIMEOUT=60
CLIENT_EXIT_TIMEOUT=30

WORK=$(mktemp -d)
HOST_PID=""
CLIENT_PID=""
XVFB_PID=""

# Stops a process group started with setsid: TERM, then KILL; waits for its leader.
stopGroup() {
    local pid=$1 i
    [ -n "$pid" ] || return 0
    if kill -0 "$pid" 2>/dev/null; then
        kill -TERM -- "-$pid" 2>/dev/null
        for i in $(seq 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    # Whatever of the group is left (a command the library started) goes too.
    kill -KILL -- "-$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
}

stopHost() {
    if [ -n "$HOST_PID" ]; then
        kill -KILL "$HOST_PID" 2>/dev/null
        wait "$HOST_PID" 2>/dev/null
        HOST_PID=""
    fi
}

# Stops Xvfb gently, so that it removes its files in /tmp, then for sure.
stopXvfb() {
    local i
    [ -n "$XVFB_PID" ] || return 0
    kill -TERM "$XVFB_PID" 2>/dev/null
    for i in $(seq 50); do
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
}

cleanup() {
    stopHost
    stopGroup "$CLIENT_PID"
    CLIENT_PID=""
    stopXvfb
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# --- Fixtures: certificate, fake `get`, the add-in directory's replacement.
if ! openssl req -x509 -newkey rsa:2048 -nodes -keyout "$WORK/server.key" -out "$WORK/server.crt" -days 2 \
    -subj /CN=localhost >"$WORK/openssl.log" 2>&1; then
    cat "$WORK/openssl.log" >&2
    echo "error: cannot make the host's certificate" >&2
    exit 2
fi

mkdir -p "$WORK/bin"
cat >"$WORK/bin/get" <<EOF
#!/bin/sh
case "\$1" in
    product.version) cat "$WORK/product.version" ;;
    product.productname) echo "RDP Test OS" ;;
esac
EOF
chmod +x "$WORK/bin/get"

# The replacement of the add-in directory, and the shell lines that mount it.
ADDIN_NAME=libCorvane-client.so
if [ -d "$ADDIN_DIR" ]; then
    mkdir -p "$WORK/addins"
    cp -a "$ADDIN_DIR/." "$WORK/addins/"
    ln -sf "$LIBRARY" "$WORK/addins/$ADDIN_NAME"
    MOUNT_ADDINS="mount --bind '$WORK/addins' '$ADDIN_DIR'"
else
    parent=$(dirname "$ADDIN_DIR")
    mkdir -p "$WORK/layer/$(basename "$ADDIN_DIR")"
    ln -s "$LIBRARY" "$WORK/layer/$(basename "$ADDIN_DIR")/$ADDIN_NAME"
    MOUNT_ADDINS="mount -t overlay overlay -o 'lowerdir=$WORK/layer:$parent' '$parent'"
fi

# The client. A sanitized library needs its runtimes loaded first into it:
# through the dynamic loader's --preload, which, unlike LD_PRELOAD, leaves the
# programs the library runs (`get`, `openssl`) alone; shells crash under a
# preloaded ThreadSanitizer. The client itself is not instrumented: leak
# reports would be about it, and ThreadSanitizer cannot see the locking inside
# WinPR and FreeRDP, so the races it reports within those are not the library's.
XFREERDP=$(command -v xfreerdp)
CLIENT_COMMAND=("$XFREERDP")
CLIENT_PRELOAD=""
for runtime in libasan libtsan libubsan; do
    path=$(ldd "$LIBRARY" 2>/dev/null | awk -v name="$runtime" '$1 ~ "^" name "\\.so" {print $3}')
    if [ -n "$path" ]; then
        CLIENT_PRELOAD="${CLIENT_PRELOAD:+$CLIENT_PRELOAD:}$path"
    fi
done
if [ -n "$CLIENT_PRELOAD" ]; then
    loader=$(readelf -l "$XFREERDP" 2>/dev/null | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
    if [ -z "$loader" ]; then
        echo "error: cannot find the dynamic loader of $XFREERDP" >&2
        exit 2
    fi
    cat >"$WORK/client-tsan.supp" <<EOF
race:libwinpr2.so
race:libfreerdp2.so
race:libfreerdp-client2.so
race:xfreerdp
deadlock:libwinpr2.so
deadlock:libfreerdp2.so
EOF
    # The caller's own suppressions still apply (the last suppressions= wins).
    callerSuppressions=$(printf '%s\n' "${TSAN_OPTIONS:-}" | tr ' :' '\n\n' | sed -n 's/^suppressions=//p' | tail -n 1)
    if [ -n "$callerSuppressions" ] && [ -f "$callerSuppressions" ]; then
        cat "$callerSuppressions" >>"$WORK/client-tsan.supp"
    fi
    CLIENT_COMMAND=(env ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"
        TSAN_OPTIONS="${TSAN_OPTIONS:-} suppressions=$WORK/client-tsan.supp"
        "$loader" --preload "$CLIENT_PRELOAD" "$XFREERDP")
fi

# A sanitized host reports the leaks of FreeRDP's server library and OpenSSL
# at exit; it is the harness, not what is tested.
HOST_ENV=(env ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0")

# The X server for the client: the first free display, reported when ready.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
DISPLAY=$(waitForLine "$WORK/display" 's/^\([0-9][0-9]*\)$/:\1/p' "$XVFB_PID")
if [ -z "$DISPLAY" ]; then
    cat "$WORK/xvfb.log" >&2
    echo "error: Xvfb did not start" >&2
    exit 2
fi

FAILURES=0

showFailure() {
    local name=$1
    echo "--- $name: host output" >&2
    cat "$WORK/$name.host" >&2
    echo "--- $name: client output (tail)" >&2
    tail -n 40 "$WORK/$name.client" >&2
    echo "--- $name: library log (tail)" >&2
    tail -n 60 "$WORK/$name.cvclient.log" >&2 2>/dev/null || echo "(no log)" >&2
}

# run NAME HOST_OPTION...: one session.
run() {
    local name=$1 i port="" hostStatus clientStatus verdict
    shift
    echo "11.01.100" >"$WORK/product.version"
    rm -rf "$WORK/home"
    mkdir -p "$WORK/home"

    "${HOST_ENV[@]}" "$HOST_BINARY" --cert "$WORK/server.crt" --key "$WORK/server.key" --timeout "$HOST_TIMEOUT" "$@" \
        >"$WORK/$name.host" 2>&1 &
    HOST_PID=$!
    port=$(waitForLine "$WORK/$name.host" 's/^PORT \([0-9][0-9]*\)$/\1/p' "$HOST_PID")
    if [ -z "$port" ]; then
        echo "FAIL $name: the host did not report its port" >&2
        stopHost
        showFailure "$name"
        FAILURES=$((FAILURES + 1))
        return
    fi

    # The client, in its own process group and mount namespace.
    local clientEnv=(env -u CORVANE_MAIN_LOOP DISPLAY="$DISPLAY" HOME="$WORK/home" PATH="$WORK/bin:$PATH"
        CORVANE_LOGGING_FILE="$WORK/$name.cvclient.log")
    setsid "${clientEnv[@]}" unshare -m --propagation private sh -c "$MOUNT_ADDINS && exec \"\$@\"" sh \
        "${CLIENT_COMMAND[@]}" "/v:127.0.0.1:$port" /cert:ignore /sec:tls -authentication /dvc:Corvane \
        >"$WORK/$name.client" 2>&1 &
    CLIENT_PID=$!

    # The host decides; it gives up by itself after HOST_TIMEOUT.
    for i in $(seq $(((HOST_TIMEOUT + 30) * 10))); do
        kill -0 "$HOST_PID" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$HOST_PID" 2>/dev/null; then
        echo "FAIL $name: the host did not finish" >&2
        stopHost
        hostStatus=124
    else
        wait "$HOST_PID"
        hostStatus=$?
        HOST_PID=""
    fi
    verdict=$(grep -E '^(PASS|FAIL) ' "$WORK/$name.host" | tail -n 1)

    # Logged off, the client leaves by itself.
    clientStatus=""
    for i in $(seq $((CLIENT_EXIT_TIMEOUT * 10))); do
        kill -0 "$CLIENT_PID" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$CLIENT_PID" 2>/dev/null; then
        stopGroup "$CLIENT_PID"
    else
        wait "$CLIENT_PID"
        clientStatus=$?
        # Xvfb or anything else of the group still there.
        kill -KILL -- "-$CLIENT_PID" 2>/dev/null
    fi
    CLIENT_PID=""

    grep -E '^(STEP|TIMING) ' "$WORK/$name.host" | sed "s/^/  $name: /"
    if [ "$hostStatus" -ne 0 ] || [ "${verdict%% *}" != "PASS" ]; then
        echo "FAIL $name: host exited $hostStatus: ${verdict:-no verdict}" >&2
        showFailure "$name"
        FAILURES=$((FAILURES + 1))
    elif [ -z "$clientStatus" ]; then
        echo "FAIL $name: the client was still running ${CLIENT_EXIT_TIMEOUT} s after the host logged it off" >&2
        showFailure "$name"
        FAILURES=$((FAILURES + 1))
    elif [ "$clientStatus" -ge 128 ]; then
        echo "FAIL $name: the client died of signal $((clientStatus - 128))" >&2
        showFailure "$name"
        FAILURES=$((FAILURES + 1))
    else
        echo "PASS $name: ${verdict#PASS } (client exit status $clientStatus)"
    fi
}

CHANGE="printf '%s\\n' 11.01.200 >'$WORK/product.version.new' && mv '$WORK/product.version.new' '$WORK/product.version'"
run plain --interval 200 --os-version-before 11.01.100 --expect-update --os-version-after 11.01.200 \
    --on-initial "$CHANGE" --split-initialise

if [ "$FAILURES" -ne 0 ]; then
    echo "0 passed, $FAILURES failed"
    exit 1
fi
echo "1 passed, 0 failed"
exit 0
