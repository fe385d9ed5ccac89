#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""A realistic endpoint in a private environment, and the library measured on it.

    unshare -m -n --propagation private /usr/bin/python3 bench/endpoint.py BUILD [CHECKS] [PAIRS]

(bench/endpoint-bench.sh builds and starts it so.) In mount and network namespaces
of its own (the loopback and a wired interface with a gateway) it starts: a private system bus with NetworkManager (a wired interface and
a Wi-Fi interface on one of three access points), UPower (line power and a
battery) and systemd-hostnamed, all python-dbusmock; Xorg with the dummy
driver; IGEL OS's tools `get` and `get_unit_id` as scripts first on PATH, with
IGEL's setup file and a management server certificate under /wfs; an HTTPS
service on 127.0.0.1 that answers as the location and public-address services
do; and a umockdev testbed (bench/endpoint.umockdev: DMI, a SATA disk with two
partitions, an NVMe disk, a USB stick, four input devices) with tmpfs mounts
named as its partitions (/wfs on /dev/sda2). The driver, the probe and facter
run under umockdev-run with that testbed (the pairs all under one, whose making
is timed in neither). Then it runs BUILD/cvclient-bench for every category (CHECKS
checks in the long run, default 10000) and times the probe against facter for
the facts both report, PAIRS runs of each in turn (default 10). BENCH_CATEGORIES names
other categories to measure; BENCH_WRAPPER, a command to run the driver under (perf record, ...);
BENCH_LOG, a file to keep the library's log in."""
import os, pathlib, resource, shutil, signal, subprocess, sys, tempfile, time

import dbus
import dbusmock

ROOT = pathlib.Path(__file__).resolve().parents[1]
LOCAL = ("Display,Hardware,Input,LogicalDisk,Name,Network,OS,Region,User,Corvane,Power,SmartCardReader,Igel,Custom,"
         "ScreenSaver,RemoteControl")
COMPARABLE = "Name,OS,Hardware,Network,LogicalDisk,Region,User,Power"
TESTBED = ["umockdev-run", "--device", str(ROOT / "bench/endpoint.umockdev"), "--"]
FACTER = ["facter", "--json", "networking", "os", "processors", "memory", "dmi", "disks", "timezone", "identity"]
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:dir={dir}</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/>
<allow own="*"/><allow user="*"/></policy></busconfig>
"""
XORG_CONFIG = """Section "ServerFlags" Option "AutoAddDevices" "false" EndSection
Section "Device" Identifier "d" Driver "dummy" VideoRam 64000 EndSection
Section "Monitor" Identifier "m" HorizSync 5-1000 VertRefresh 5-200 EndSection
Section "Screen" Identifier "s" Device "d" Monitor "m" SubSection "Display" Modes "1920x1080" "1280x1024" EndSubSection
EndSection
"""
IGEL_GET = """#!/bin/sh
case "$1" in
  system.remotemanager.server0.ip) echo ums.example.com ;;
  system.remotemanager.server0.port) echo 30001 ;;
  system.remotemanager.ums_structure_tag) echo branch-7 ;;
  system.environment_variables.fixvariable0.name) echo SITE ;;
  system.environment_variables.fixvariable0.value) echo berlin ;;
  sessions.xlock0.options.timeout) echo 10 ;;
  *) echo ;;
esac
"""
ANSWERS = {
    "/geolocate": '{"location":{"lat":51.5,"lng":-0.12},"accuracy":25.0}',
    "/reverse": '{"address":{"house_number":"7","road":"Baker Street","city":"London","state":"England",'
                '"postcode":"NW1 6XE","country":"United Kingdom"}}',
    "/ip": '{"data":{"ip":"198.51.100.23"},"status":"ok"}',
    "/dns": '{"data":{"result":["host.example.net"]}}',
    "/whois": '{"data":{"authorities":["ripe"],"records":[[{"key":"descr","value":"ExampleNet"},'
              '{"key":"country","value":"GB"}]]}}',
}
children = []


def start(command, **options):
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, **options)
    children.append(child)
    return child


def wait_for(predicate, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not predicate():
        if time.monotonic() > deadline:
            sys.exit(f"endpoint.py: {what} did not come up")
        time.sleep(0.02)


def system_bus(work):
    config = work / "bus.conf"
    config.write_text(BUS_CONFIG.format(dir=work))
    daemon = start(["dbus-daemon", f"--config-file={config}", "--nofork", "--print-address=1"],
                   stdout=subprocess.PIPE, text=True)
    address = daemon.stdout.readline().strip()
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = address
    return dbus.bus.BusConnection(address)


def services(bus):
    mock = "org.freedesktop.DBus.Mock"
    manager = start([sys.executable, "-m", "dbusmock", "--system", "--template", "networkmanager"],
                    stdout=subprocess.DEVNULL)
    upower = start([sys.executable, "-m", "dbusmock", "--system", "--template", "upower"], stdout=subprocess.DEVNULL)
    hostnamed = start([sys.executable, "-m", "dbusmock", "--system", "org.freedesktop.hostname1",
                       "/org/freedesktop/hostname1", "org.freedesktop.hostname1"], stdout=subprocess.DEVNULL)
    for name in ("org.freedesktop.NetworkManager", "org.freedesktop.UPower", "org.freedesktop.hostname1"):
        wait_for(lambda: bus.name_has_owner(name), name)
    nm = dbus.Interface(bus.get_object("org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager"),
                        mock)
    nm.AddEthernetDevice("mock_Ethernet1", "eth0", 100)
    wifi = nm.AddWiFiDevice("mock_WiFi1", "wlan0", 100)
    for number, (ssid, strength) in enumerate([("Office", 82), ("Office-5G", 64), ("Cafe", 31)]):
        ap = nm.AddAccessPoint(wifi, f"Mock_AP{number}", ssid, f"00:23:F8:7E:12:B{number}", 2, 2437, 54000,
                               strength, 0x400)
        if number == 0:
            device = dbus.Interface(bus.get_object("org.freedesktop.NetworkManager", wifi), mock)
            device.AddProperty("org.freedesktop.NetworkManager.Device.Wireless", "ActiveAccessPoint",
                               dbus.ObjectPath(ap))
    power = dbus.Interface(bus.get_object("org.freedesktop.UPower", "/org/freedesktop/UPower"), mock)
    power.AddAC("mock_AC", "Mock AC")
    power.AddDischargingBattery("mock_BAT", "Mock Battery", 64.0, 3600)
    host = dbus.Interface(bus.get_object("org.freedesktop.hostname1", "/org/freedesktop/hostname1"), mock)
    host.AddProperties("org.freedesktop.hostname1", {
        "Hostname": "tc-0042", "StaticHostname": "tc-0042", "Chassis": "laptop",
        "OperatingSystemPrettyName": "IGEL OS 11", "KernelRelease": os.uname().release})
    return manager, upower, hostnamed


def x_server(work):
    start(["Xorg", ":73", "-noreset", "-nolisten", "tcp", "-logfile", str(work / "xorg.log"), "-config",
           str(work / "xorg.conf")], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.environ["DISPLAY"] = ":73"
    wait_for(lambda: subprocess.run(["xdpyinfo"], capture_output=True).returncode == 0, "Xorg")


def private_root():
    """A root of the benchmark's own, so that IGEL's /wfs can exist: a tmpfs (on /srv while it is filled) holding a
    bind of every other top-level entry but /run, which is its own, with the login records of a booted system."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "root", "/srv"], check=True)
    for entry in pathlib.Path("/").iterdir():
        target = pathlib.Path("/srv") / entry.name
        if entry.is_symlink():
            target.symlink_to(os.readlink(entry))
        elif entry == pathlib.Path("/run"):
            target.mkdir()
            (target / "utmp").write_bytes(b"")
        elif entry != pathlib.Path("/srv"):
            target.mkdir() if entry.is_dir() else target.touch()
            subprocess.run(["mount", "--rbind", str(entry), str(target)], check=True)
    os.chdir("/srv")
    subprocess.run(["mount", "--move", ".", "/"], check=True)
    os.chroot(".")
    os.chdir("/")


def partitions():
    """A tmpfs for each mounted partition of the testbed, named as its device: IGEL's /wfs on the SATA disk, a data
    partition on the NVMe disk, the USB stick. /media is a tmpfs of its own first, so nothing is made on the disk."""
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "media", "/media"], check=True)
    for device, directory, size in (("/dev/sda2", "/wfs", "64m"), ("/dev/nvme0n1p1", "/media/data", "256m"),
                                    ("/dev/sdb1", "/media/MY STICK", "32m"), ("/dev/sda1", "/media/efi", "8m")):
        os.makedirs(directory, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", device, directory], check=True)


def igel_files():
    """IGEL's setup file and the management server's certificate."""
    wfs = pathlib.Path("/wfs")
    (wfs / "group.ini").write_text("<system>\n<remotemanager>\nserver0.ip=<ums.example.com>\n</remotemanager>\n"
                                   "</system>\n")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/C=DE/O=Example/CN=ums",
                    "-days", "30", "-keyout", "/wfs/server.key", "-out", "/wfs/server.crt"], check=True,
                   capture_output=True)


def igel_tools(work):
    tools = work / "bin"
    tools.mkdir()
    (tools / "get").write_text(IGEL_GET)
    (tools / "get_unit_id").write_text("#!/bin/sh\necho 00E0C5123456\n")
    for tool in ("get", "get_unit_id"):
        (tools / tool).chmod(0o755)
    os.environ["PATH"] = f"{tools}:{os.environ['PATH']}"


def web_service(work):
    state = work / "web"
    state.mkdir()
    for path, body in ANSWERS.items():
        (state / ("answer" + path.replace("/", "|"))).write_text("200\n" + body)
    server = start(["/usr/bin/python3", "-I", str(ROOT / "tests/support/https_server.py"), str(work), "trusted",
                    str(state)], stdout=subprocess.PIPE, text=True)
    port = server.stdout.readline().strip()
    (work / "no-certificates").mkdir()
    os.environ["CORVANE_CERTIFICATE_FILE"] = str(work / "trusted.pem")
    os.environ["CORVANE_CERTIFICATE_DIR"] = str(work / "no-certificates")
    url = f"https://127.0.0.1:{port}"
    return [f"Location.LocateUrl={url}/geolocate?key=K", f"Location.AddressUrl={url}/reverse?lat=%lat%&lon=%lng%",
            f"Whois.ProviderIpUrl={url}/ip", f"Whois.ProviderDnsUrl={url}/dns?resource=%IP%",
            f"Whois.ProviderIspUrl={url}/whois?resource=%IP%", f"Whois.ProviderCountryUrl={url}/whois?resource=%IP%"]


def paired(build, runs):
    """The probe and facter in turn, each as a whole process: median wall and CPU seconds and the ratio."""
    probe = [str(build / "cvclient-probe"), "--categories", COMPARABLE, "--json", "--log", os.devnull]
    figures = {"probe": [], "facter": []}
    for _ in range(runs + 1):  # the first pair warms the caches and is not counted
        for name, command in (("probe", probe), ("facter", FACTER)):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            started = time.monotonic()
            subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            wall = time.monotonic() - started
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            figures[name].append((wall, after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime))
    if runs < 1:
        return
    median = lambda values: sorted(values)[len(values) // 2]  # noqa: E731
    for name in figures:
        figures[name] = figures[name][1:]
    ratios = [f[0] / p[0] for p, f in zip(figures["probe"], figures["facter"])]
    print(f"| comparable facts, whole process: probe vs facter (median of {runs} pairs) | "
          f"{median([p[0] for p in figures['probe']]) * 1e3:.0f} ms vs "
          f"{median([f[0] for f in figures['facter']]) * 1e3:.0f} ms wall ({median(ratios):.1f}x); "
          f"{median([p[1] for p in figures['probe']]) * 1e3:.0f} ms vs "
          f"{median([f[1] for f in figures['facter']]) * 1e3:.0f} ms CPU |")


def main():
    if sys.argv[1] == "--pairs":
        paired(pathlib.Path(sys.argv[2]), int(sys.argv[3]))
        return
    build = pathlib.Path(sys.argv[1]).resolve()
    checks = sys.argv[2] if len(sys.argv) > 2 else "10000"
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    work = pathlib.Path(tempfile.mkdtemp(prefix="cvclient-bench."))
    (work / "xorg.conf").write_text(XORG_CONFIG)
    # The namespace's own network: the loopback, for the web service, and a wired interface with a gateway.
    subprocess.run(["sh", "-ec", "ip link set lo up; ip link add eth0 type veth peer name eth0-peer; "
                    "ip link set eth0-peer up; ip link set eth0 up; ip addr add 192.168.1.20/24 dev eth0; "
                    "ip route add default via 192.168.1.1"], check=True)
    try:
        bus = system_bus(work)
        services(bus)
        x_server(work)
        private_root()
        partitions()
        igel_files()
        igel_tools(work)
        made = time.monotonic()
        config = web_service(work)
        # The library trusts a kept answer only once its files are two seconds old, as a real endpoint's are.
        time.sleep(max(0.0, 2.5 - (time.monotonic() - made)))
        sys.stdout.flush()
        subprocess.run([*TESTBED, *os.environ.get("BENCH_WRAPPER", "").split(), str(build / "cvclient-bench"),
                        str(build / "libcvclient.so"), str(work / "bench.log"),
                        os.environ.get("BENCH_CATEGORIES", LOCAL + ",+Location,+Whois"), checks, *config], check=True)
        if shutil.which("facter"):
            # One testbed for all the pairs: its making (some 50 ms) is no part of either's time.
            sys.stdout.flush()
            subprocess.run([*TESTBED, sys.executable, __file__, "--pairs", str(build), str(runs)], check=True)
        else:
            print("| facter | not installed |")
    finally:
        for child in reversed(children):
            child.send_signal(signal.SIGTERM)
        for child in children:
            try:
                child.wait(5)
            except subprocess.TimeoutExpired:
                child.kill()
        if os.environ.get("BENCH_LOG") and (work / "bench.log").exists():
            shutil.copy(work / "bench.log", os.environ["BENCH_LOG"])
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
