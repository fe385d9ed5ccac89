#!/usr/bin/env bash
# watch-latency.sh [PROBE] [RUNS]: the time from a change of the endpoint to the update that reports it on the
# channel, for the sources watched in real time that need nothing but the kernel: the system time zone (Region),
# the login records (User) and the host name (Name). The probe plays the host with a ten-minute check interval, so
# every update it shows comes from a watch. Runs as root in mount and UTS namespaces of its own: /etc gets an
# overlay, /run a tmpfs, the host name is the namespace's. Prints min, median and max in milliseconds per source;
# the output file is polled every 2 ms, which the figures include.
set -euo pipefail
PROBE=$(readlink -f "${1:-build/cvclient-probe}") RUNS=${2:-20}
if [ "${WATCH_LATENCY_INSIDE:-}" != 1 ]; then
    exec env WATCH_LATENCY_INSIDE=1 unshare -m -u --propagation private "$0" "$PROBE" "$RUNS"
fi
WORK=$(mktemp -d)
trap 'kill "$PID" 2>/dev/null; wait 2>/dev/null; umount -l /etc /run 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir -p "$WORK/upper" "$WORK/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$WORK/upper,workdir=$WORK/work" /etc
mount -t tmpfs bench /run
login() {  # a login record of user $1 whose process (this shell) runs, as `users` counts only those
    printf '[7] [%05d] [ts/0] [%-8s] [pts/0       ] [                    ] [0.0.0.0        ] [%s]\n' "$$" "$1" \
        2026-12-08T04:00:00,000000+00:00 | utmpdump -r 2>/dev/null
}
login nobody >/run/utmp
"$PROBE" --categories Region,User,Name --json --watch --interval 600000 --log "$WORK/log" >"$WORK/out" 2>/dev/null &
PID=$!
lines() { wc -l <"$WORK/out"; }
for _ in $(seq 500); do [ "$(lines)" -ge 1 ] && break; sleep 0.01; done
zones=(Asia/Tokyo America/New_York)
measure() {  # measure NAME COMMAND...: runs COMMAND RUNS times, each once the update of the one before arrived
    local name=$1 times=() seen start end
    shift
    for run in $(seq "$RUNS"); do
        seen=$(lines)
        start=$(date +%s%N)
        "$@" "$run"
        until [ "$(lines)" -gt "$seen" ]; do sleep 0.002; done
        end=$(date +%s%N)
        times+=($(((end - start) / 1000)))
        sleep 0.1  # the change settles before the next
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v name="$name" '{ t[NR] = $1 } END {
        printf "%-28s min %6.1f  median %6.1f  max %6.1f ms  (%d runs)\n", name, t[1] / 1000, t[int((NR + 1) / 2)] / 1000, t[NR] / 1000, NR }'
}
zone() { ln -sfn "/usr/share/zoneinfo/${zones[$(($1 % 2))]}" /etc/localtime.new && mv -fT /etc/localtime.new /etc/localtime; }
session() { login "user$1" >/run/utmp; }
rename() { hostname "bench-$1"; }
measure "Region (time zone)" zone
measure "User (login records)" session
measure "Name (host name)" rename
