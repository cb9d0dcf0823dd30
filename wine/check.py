#!/usr/bin/env python3
"""Plays the flows under Wine and under hotpsim and compares hotpflt's configuration writes.

Wine: a fresh 32-bit prefix, both kernel services installed (the test bus driver, and hotpflt
for it to load), the test bus driver started; it plays the boot and each scenario event and logs
every configuration cycle to C:\\hotptbus.log. hotpsim: the same machine and flows with --json.
The writes hotpflt made (through a function's bus interface, or through the root accessors) are
compared flow by flow: for each function, the same writes in the same order, each with the same
offset, width, value, and the same contents before and after. Writes to different functions may
interleave differently, since Wine's PnP manager orders devices its own way.
"""
import argparse
import collections
import json
import os
import re
import shutil
import subprocess
import sys
import time

HOTPFLT = ("hotpflt-bus-interface", "hotpflt-root-accessors")
# Trace lines that tell which requests arrived and what the PnP manager's device node holds:
# those are each PnP manager's own business (Wine sends identifier and capability queries that
# hotpsim's manager does not), not the driver's.
PNP_MANAGERS_OWN = ("DispatchPnp: DevObj", "deviceNode flag")


def trace_line(text):
    """A trace line with kernel addresses (five to eight hexadecimal digits) masked: each kernel
    lays its objects out at its own addresses."""
    return re.sub(r"\b(0x)?[0-9a-f]{5,8}\b", r"\1#", text.rstrip("\n"))


def flows_of(step_texts):
    """Groups step indexes (0 = boot, k = k-th scenario event) into flows: the boot, each event,
    and a return to D0 joined to the power event before it (one D3/D0 cycle)."""
    flows = [("boot", [0])]
    for index, text in enumerate(step_texts, start=1):
        if text.startswith("power") and text.endswith("D0") and flows[-1][0].startswith("power"):
            flows[-1] = (flows[-1][0] + ", back to D0", flows[-1][1] + [index])
        else:
            flows.append((text, [index]))
    return flows


def hotpsim_writes(args):
    out = subprocess.run([args.hotpsim, "--machine", args.machine, "--scenario", args.flows, "--json",
                          "--trace-level", "4"], check=True, capture_output=True, text=True).stdout
    steps, writes, traces, current = [], collections.defaultdict(list), collections.defaultdict(list), -1
    requirements = collections.defaultdict(list)
    for line in out.splitlines():
        event = json.loads(line)
        if event["kind"] == "device" and event["state"] == "not started":
            # Wine's PnP manager arbitrates nothing and starts every device: a device hotpsim
            # cannot start would make the two kernels play different flows.
            sys.exit(f"wine-check: under hotpsim {event['bdf']} is not started ({event['reason']}); "
                     "Wine would start it: choose flows in which every device starts")
        if event["kind"] == "step":
            if event["text"].startswith("boot"):
                current = 0
            else:
                steps.append(event["text"])
                current = len(steps)
        elif event["kind"] == "requirements" and event["changed"]:
            requirements[current].append((event["bdf"], tuple(
                (d["type"], d["flags"], d["length"], d["alignment"]) for d in event["after"]
                if d["list"] == 0)))
        elif event["kind"] == "trace":
            traces[current].append(trace_line(event["text"]))
        elif event["kind"] == "config" and event["who"] in HOTPFLT:
            old = event["old"] if event["claimed"] else None
            new = event["new"] if event["claimed"] else None
            writes[current].append((event["bdf"], event["who"], event["offset"], event["width"],
                                    event["value"], old, new))
    return steps, writes, traces, requirements


def wine_env(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG="-all,warn+debugstr",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


def run_wine(args):
    """Plays the flows under Wine; returns the test bus driver's log ("" when it wrote none)."""
    prefix = os.path.abspath(os.path.join(args.work, "prefix"))
    shutil.rmtree(prefix, ignore_errors=True)
    env = wine_env(prefix)
    log = open(os.path.join(args.work, "wine.log"), "w")
    subprocess.run(["wineboot", "-i"], env=env, check=True, stdout=log, stderr=log)
    drivers = os.path.join(prefix, "drive_c", "windows", "system32", "drivers")
    shutil.copy(args.image, os.path.join(drivers, "hotpflt.sys"))
    shutil.copy(args.testbus, os.path.join(drivers, "hotptbus.sys"))
    services = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\"
    reg = os.path.join(args.work, "services.reg")
    with open(reg, "w") as f:
        f.write("REGEDIT4\n")
        for name in ("hotpflt", "hotptbus"):
            f.write(f'\n[{services}{name}]\n"Type"=dword:00000001\n"Start"=dword:00000003\n'
                    f'"ErrorControl"=dword:00000001\n'
                    f'"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\{name}.sys"\n')
    subprocess.run(["wine", "regedit", "/S", reg], env=env, check=True, stdout=log, stderr=log)
    # The service manager reads its services when it starts: end this session first.
    subprocess.run(["wineserver", "-k"], env=env, stdout=log, stderr=log)
    subprocess.run(["wineserver", "-w"], env=env, stdout=log, stderr=log)
    result = os.path.join(prefix, "drive_c", "hotptbus.log")
    # Wine ends its system processes (the device host among them) once no ordinary process is
    # left: a command interpreter waiting on its input keeps the session open meanwhile.
    keeper = subprocess.Popen(["wine", "cmd"], env=env, stdin=subprocess.PIPE, stdout=log,
                              stderr=log)
    try:
        subprocess.run(["wine", "net", "start", "hotptbus"], env=env, stdout=log, stderr=log,
                       timeout=120)
    except subprocess.TimeoutExpired:
        print("wine-check: the test bus driver's service did not start in 120 s")
    deadline = time.monotonic() + args.timeout
    text = ""
    while time.monotonic() < deadline:
        if os.path.exists(result):
            with open(result) as f:
                text = f.read()
            if text.endswith("done\n"):
                break
        time.sleep(0.5)
    subprocess.run(["wineserver", "-k"], env=env, stdout=log, stderr=log)
    keeper.wait()
    log.close()
    if os.path.exists(result):
        shutil.copy(result, os.path.join(args.work, "hotptbus.log"))
    if not text.endswith("done\n"):
        print(f"wine-check: the test bus driver did not finish in {args.timeout} s "
              f"(logs in {args.work}: wine.log, hotptbus.log)")
    return text


def wine_results(args, text):
    """What the test bus driver logged, and the trace lines the image printed through Wine's
    DbgPrint, by step."""
    writes, current, notes = collections.defaultdict(list), 0, []
    requirements = collections.defaultdict(list)
    kinds = {1: "io", 3: "memory"}
    for line in text.splitlines():
        field = line.split()
        if field[0] == "step":
            current = int(field[1], 16)
        elif field[0] == "requirements":
            descriptors = [tuple(int(x, 16) for x in item.split(":")) for item in field[2:]]
            requirements[current].append((field[1], tuple(
                (kinds.get(t, "other"), flags, length, alignment)
                for t, flags, length, alignment in descriptors)))
        elif field[0] == "note":
            notes.append(line[5:])
        elif field[0] == "W" and field[1] in HOTPFLT:
            claimed = field[8] == "claimed"
            writes[current].append((field[2], field[1], int(field[3], 16), int(field[4], 16),
                                    int(field[5], 16), int(field[6], 16) if claimed else None,
                                    int(field[7], 16) if claimed else None))
    traces, current = collections.defaultdict(list), 0
    marker = re.compile(r":warn:debugstr:\S+ [0-9a-f]{8}:[0-9a-f]{8}: (.*)$")
    with open(os.path.join(args.work, "wine.log"), errors="replace") as f:
        for line in f:
            found = marker.search(line.rstrip("\n"))
            if found is None:
                continue
            if found.group(1).startswith("hotptbus: step "):
                current = int(found.group(1).split()[-1], 16)
            else:
                traces[current].append(trace_line(found.group(1)))
    return writes, traces, requirements, notes, text.endswith("done\n")


def by_function(writes):
    grouped = collections.defaultdict(list)
    for write in writes:
        grouped[write[0]].append(write[1:])
    return dict(grouped)


def show(write):
    who, offset, width, value, old, new = write
    held = f"{old:0{2 * width}x} -> {new:0{2 * width}x}" if old is not None else "unclaimed"
    return f"{who} {offset:02x}/{width} := {value:0{2 * width}x} ({held})"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("hotpsim", "image", "testbus", "machine", "flows", "work"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--timeout", type=float, default=180)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)

    steps, expected, expected_traces, expected_lists = hotpsim_writes(args)
    got, got_traces, got_lists, notes, finished = wine_results(args, run_wine(args))
    # What the test bus driver saw go wrong: an interface used without a reference or released
    # too often, a flow that did not settle, a filter it could not load.
    faults = [n for n in notes if any(word in n for word in
                                      ("without a reference", "too often", "timed out", "cannot",
                                       "not found", "no bus number", "lost"))]
    for note in faults:
        print(f"wine-check: test bus driver: {note}")
    flows = flows_of(steps)
    matched = 0
    for number, (name, indexes) in enumerate(flows, start=1):
        want = by_function([w for i in indexes for w in expected[i]])
        have = by_function([w for i in indexes for w in got[i]])
        count = sum(len(v) for v in want.values())
        # Trace lines are compared as a whole per flow, each line as often as it was printed.
        want_traces = collections.Counter(t for i in indexes for t in expected_traces[i]
                                          if not any(p in t for p in PNP_MANAGERS_OWN))
        have_traces = collections.Counter(t for i in indexes for t in got_traces[i]
                                          if not any(p in t for p in PNP_MANAGERS_OWN))
        # Requirement lists that filtering replaced, as they went on: the same functions, the same
        # descriptors.
        want_lists = sorted(r for i in indexes for r in expected_lists[i])
        have_lists = sorted(r for i in indexes for r in got_lists[i])
        if want == have and want_traces == have_traces and want_lists == have_lists and finished:
            matched += 1
            print(f"flow {number} ({name}): match, {count} writes, "
                  f"{len(want_lists)} requirement lists and {sum(want_traces.values())} trace lines "
                  "by hotpflt")
            continue
        print(f"flow {number} ({name}): DIFFERENT")
        if want_lists != have_lists:
            print(f"  requirement lists under hotpsim: {want_lists}")
            print(f"  requirement lists under wine:    {have_lists}")
        for line in sorted((want_traces - have_traces).elements()):
            print(f"  trace only under hotpsim: {line}")
        for line in sorted((have_traces - want_traces).elements()):
            print(f"  trace only under wine:    {line}")
        for bdf in sorted(set(want) | set(have)):
            if want.get(bdf) == have.get(bdf):
                continue
            print(f"  {bdf}:")
            for line in want.get(bdf, []):
                print(f"    hotpsim: {show(line)}")
            for line in have.get(bdf, []):
                print(f"    wine:    {show(line)}")
    if faults:
        matched = 0
    print(f"wine-check: {matched} passed, {len(flows) - matched} failed")
    print(f"wine-check: {matched} of {len(flows)} flows match")
    return 0 if matched == len(flows) and len(flows) >= 5 else 1


if __name__ == "__main__":
    sys.exit(main())
