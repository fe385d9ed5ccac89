#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# watch-latency.sh [PROBE] [RUNS]: the time from a change of the endpoint to the update that reports it on the
# channel, per source watched in real time: the system time zone (Region), the login records (User), the host name
# (Name); UPower (Power) and NetworkManager (Network) as python-dbusmock services on a private system bus; RandR
# (Display) and the XKB layout (Region) on Xorg with the dummy driver; pcscd with vsmartcard's virtual readers
# stopping and starting (SmartCardReader). The probe plays the host with a ten-minute check interval, so every
# update it shows comes from a watch. Runs as root in mount, UTS and network namespaces of its own: /etc gets an
# overlay, /run a tmpfs (where pcscd puts its socket), the host name is the namespace's. Prints min, median and
# max in milliseconds per source; the output file is polled every 2 ms, which the figures include.
set -euo pipefail
PROBE=$(readlink -f "${1:-build/cvclient-probe}") RUNS=${2:-20}
if [ "${WATCH_LATENCY_INSIDE:-}" != 1 ]; then
    exec env WATCH_LATENCY_INSIDE=1 unshare -m -u -n --propagation private "$0" "$PROBE" "$RUNS"
fi
WORK=$(mktemp -d)
PIDS=()
trap 'kill "${PIDS[@]}" 2>/dev/null; wait 2>/dev/null; umount -l /etc /run 2>/dev/null; rm -rf "$WORK"' EXIT
mkdir -p "$WORK/upper" "$WORK/work"
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$WORK/upper,workdir=$WORK/work" /etc
mount -t tmpfs bench /run
login() {  # a login record of user $1 whose process (this shell) runs, as `users` counts only those
    printf '[7] [%05d] [ts/0] [%-8s] [pts/0       ] [                    ] [0.0.0.0        ] [%s]\n' "$$" "$1" \
        2026-12-08T04:00:00,000000+00:00 | utmpdump -r 2>/dev/null
}
login nobody >/run/utmp
ip link set lo up

# A private system bus with UPower (a battery) and NetworkManager (a Wi-Fi device on one of two access points).
dbus-daemon --session --nofork --print-address=3 --address="unix:path=$WORK/bus" 3>"$WORK/address" &
PIDS+=($!)
until [ -s "$WORK/address" ]; do sleep 0.01; done
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$WORK/bus
service() {  # service NAME TEMPLATE: a dbusmock template, once it owns its name
    /usr/bin/python3 -m dbusmock --system -t "$2" >/dev/null 2>&1 &
    PIDS+=($!)
    until gdbus call --system -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner \
        "$1" 2>/dev/null | grep -q true; do sleep 0.02; done
}
call() { gdbus call --system "$@" >/dev/null; }
set_property() {  # set_property SERVICE OBJECT INTERFACE NAME VALUE
    call -d "$1" -o "$2" -m org.freedesktop.DBus.Properties.Set "$3" "$4" "$5"
}
service org.freedesktop.UPower upower
UPOWER=/org/freedesktop/UPower
call -d org.freedesktop.UPower -o $UPOWER -m org.freedesktop.DBus.Mock.AddDischargingBattery bat Battery 80.0 3600
service org.freedesktop.NetworkManager networkmanager
NM=/org/freedesktop/NetworkManager
call -d org.freedesktop.NetworkManager -o $NM -m org.freedesktop.DBus.Mock.AddWiFiDevice wlan0 wlan0 100
for ap in 1 2; do
    call -d org.freedesktop.NetworkManager -o $NM -m org.freedesktop.DBus.Mock.AddAccessPoint \
        $NM/Devices/wlan0 ap$ap "Net $ap" "0A:00:00:00:00:0$ap" 2 2412 54000 "byte $((40 + ap * 20))" 0
done
wifi() { set_property org.freedesktop.NetworkManager $NM/Devices/wlan0 org.freedesktop.NetworkManager.Device.Wireless \
    ActiveAccessPoint "<objectpath '$NM/AccessPoint/ap$(($1 % 2 + 1))'>"; }
call -d org.freedesktop.NetworkManager -o $NM/Devices/wlan0 -m org.freedesktop.DBus.Mock.AddProperty \
    org.freedesktop.NetworkManager.Device.Wireless ActiveAccessPoint "<objectpath '$NM/AccessPoint/ap1'>"

# Xorg with the dummy driver: DUMMY0 switches between two modes, the keyboard between two layouts.
printf '%s\n' 'Section "ServerFlags" Option "AutoAddDevices" "false" EndSection' \
    'Section "Device" Identifier "d" Driver "dummy" VideoRam 64000 EndSection' \
    'Section "Monitor" Identifier "m" HorizSync 5-1000 VertRefresh 5-200 EndSection' \
    'Section "Screen" Identifier "s" Device "d" Monitor "m" SubSection "Display" Modes "1024x768" EndSubSection EndSection' \
    >"$WORK/xorg.conf"
Xorg -config "$WORK/xorg.conf" -logfile "$WORK/xorg.log" -displayfd 4 -nolisten tcp -noreset 4>"$WORK/display" \
    >/dev/null 2>&1 &
PIDS+=($!)
until [ -s "$WORK/display" ]; do sleep 0.01; done
export DISPLAY=:$(cat "$WORK/display")
xrandr --addmode DUMMY0 800x600
setxkbmap -layout us

# pcscd with the virtual readers of vsmartcard's vpcd driver; its socket goes to the tmpfs /run.
mkdir -p "$WORK/pcsc"
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:35963\nCHANNELID 35963\nLIBPATH %s\n' \
    /usr/lib/pcsc/drivers/serial/libifdvpcd.so >"$WORK/pcsc/vpcd"
PCSCD=
pcscd_start() {
    /usr/sbin/pcscd --foreground --config "$WORK/pcsc" >/dev/null 2>&1 &
    PCSCD=$!
    PIDS+=($PCSCD)
}
pcscd_start
until [ -S /run/pcscd/pcscd.comm ]; do sleep 0.01; done
sleep 0.5

"$PROBE" --categories Region,User,Name,Power,Network,Display,SmartCardReader --json --watch --interval 600000 \
    --log "$WORK/log" >"$WORK/out" 2>/dev/null &
PIDS+=($!)
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
battery() { set_property org.freedesktop.UPower $UPOWER/devices/bat org.freedesktop.UPower.Device Percentage \
    "<$((80 - $1 % 2 * 60)).0>"; }
mode() { xrandr --output DUMMY0 --mode "$( (($1 % 2)) && echo 800x600 || echo 1024x768)"; }
layout() { setxkbmap -layout "$( (($1 % 2)) && echo de || echo us)"; }
readers() {  # odd runs stop pcscd, even ones start it again
    if (($1 % 2)); then kill "$PCSCD"; wait "$PCSCD" 2>/dev/null || true; else pcscd_start; fi
}
measure "Power (UPower battery)" battery
measure "Network (access point)" wifi
measure "Display (RandR mode)" mode
measure "Region (XKB layout)" layout
measure "SmartCardReader (pcscd)" readers
