#!/usr/bin/env python3
"""Plants each fault of faults.py in turn into a source tree, builds the
targets that test it and runs those tests; a fault is caught when a test fails.

    tests/faults/plant.py [--build DIR] [--configure=-DOPTION=VALUE] [--only ID,...] [--extra] [--no-clean]
                          [--out FILE]

First the selected tests run on the clean tree: a test that fails there would
count every fault as caught, so the run stops. --extra adds the faults after
[extra] in faults.txt. Leaks and races need a sanitizer build: for instance
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 tests/faults/plant.py --build build-faults-asan \
        --configure=-DCVCLIENT_SANITIZE=address --only uniquehandle-move
Results are written to FILE as they come: id, verdict, what.

Every fault is one exact text replacement in one file (the text must occur
exactly once) and names the test executables and the ctest regex that should
catch it. The file is restored after each fault, whatever happens."""
import argparse, os, pathlib, subprocess, sys, time

ROOT = pathlib.Path(__file__).resolve().parents[2]
ALIASES = {"unit": ["cvclient_unit_tests"], "transport": ["cvclient", "cvclient_transport_tests"],
           "e2e": ["cvclient", "cvclient_e2e_tests"]}


def load(extra):
    """The faults of faults.txt: (id, path, old text, new text, targets, ctest regex, what)."""
    faults, lines = [], (pathlib.Path(__file__).parent / "faults.txt").read_text().splitlines()
    lines = [line for line in lines if line and not line.startswith("#")]
    at = 0
    while at < len(lines) and (lines[at] != "[extra]" or extra):
        if lines[at] == "[extra]":
            at += 1
            continue
        ident, path, names, tests, what = [field.strip() for field in lines[at].split(" | ", 4)]
        texts = [lines[at + n][2:].encode().decode("unicode_escape") for n in (1, 2)]
        targets = sorted({t for name in names.split() for t in ALIASES.get(
            name, [name if name.startswith("cvclient") else f"cvclient_{name}_tests"])})
        faults.append((ident, path, *texts, targets, tests, what))
        at += 3
    return faults


def run(command, timeout):
    try:
        done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout, text=True)
        return done.returncode, done.stdout
    except subprocess.TimeoutExpired as expired:
        return 124, (expired.stdout or b"").decode(errors="replace") if isinstance(expired.stdout, bytes) else ""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build-faults")
    parser.add_argument("--only", default="")
    parser.add_argument("--out", default="")
    parser.add_argument("--extra", action="store_true")
    parser.add_argument("--no-clean", action="store_true", help="skip the run on the clean tree")
    parser.add_argument("--configure", action="append", default=[],
                        help="a further cmake option for a new build directory, e.g. -DCVCLIENT_SANITIZE=address")
    args = parser.parse_args()
    build = ROOT / args.build
    if not (build / "CMakeCache.txt").exists():
        subprocess.check_call(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                               "-DCVCLIENT_TESTS=ON", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                               "-DCMAKE_C_COMPILER_LAUNCHER=ccache", *args.configure], stdout=subprocess.DEVNULL)
    wanted = set(filter(None, args.only.split(",")))
    faults = [f for f in load(args.extra) if not wanted or f[0] in wanted]
    targets_all = sorted({t for f in faults for t in f[4]})
    regex_all = "|".join(f"({f[5]})" for f in faults)
    code, output = run(["cmake", "--build", str(build), "-j2", "--target", *targets_all], 3600)
    if code == 0 and not args.no_clean:
        code, output = run(["ctest", "--test-dir", str(build), "-j2", "--timeout", "120", "-R", regex_all], 3600)
    if code != 0:
        print(output[-4000:])
        sys.exit("the clean tree does not build or pass the selected tests")
    out = open(args.out, "w") if args.out else None
    results = []
    for fault in faults:
        ident, path, old, new, targets, tests, what = fault
        source = ROOT / path
        original = source.read_text()
        if original.count(old) != 1:
            results.append((ident, "STALE", 0, what))
            print(f"{ident}: STALE (text found {original.count(old)} times in {path})", flush=True)
            continue
        started = time.monotonic()
        try:
            source.write_text(original.replace(old, new))
            code, output = run(["cmake", "--build", str(build), "-j2", "--target", *targets], 900)
            failed = []
            if code != 0:
                verdict = "NOBUILD"
                print(output[-2000:])
            else:
                code, output = run(["ctest", "--test-dir", str(build), "-j2", "--timeout", "120",
                                    "--no-tests=error", "-R", tests], 1200)
                verdict = "caught" if code != 0 else "MISSED"
                # ctest's summary names each failed test: "  12 - Suite.Name (Failed)".
                failed = [line.split(" - ", 1)[1].rsplit(" (", 1)[0] for line in output.splitlines()
                          if " - " in line and line.rstrip().endswith(")") and line.startswith("\t")]
        finally:
            source.write_text(original)
        seconds = round(time.monotonic() - started)
        results.append((ident, verdict, seconds, what))
        by = f" by {' '.join(failed)}" if verdict == "caught" else ""
        print(f"{ident}: {verdict} ({seconds} s) {what}{by}", flush=True)
        if out:
            out.write(f"{ident:<28} {verdict:<8} {what}{by}\n")
            out.flush()
    # Rebuild the clean tree so the build directory matches the sources again.
    run(["cmake", "--build", str(build), "-j2", "--target", *targets_all], 3600)
    caught = sum(1 for r in results if r[1] == "caught")
    summary = f"{caught} of {len(results)} caught"
    print(summary)
    if out:
        out.write(summary + "\n")
        out.close()


if __name__ == "__main__":
    main()
