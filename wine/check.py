#!/usr/bin/env python3
"""Plays the flows under Wine and under hotpsim and compares what hotpflt did, flow by flow.

Wine: a 32-bit prefix made once (wineboot, both kernel services installed), copied afresh for each
image played; the test bus driver plays the boot and each scenario event and logs every
configuration cycle, every requirement list the filter handed down and what it saw go wrong to
C:\\hotptbus.log. hotpsim: the same machine and flows with --json. Compared per flow: for each
function the writes hotpflt made (through a function's bus interface or the root accessors), in
order, each with its offset, width, value and the bytes before and after; every requirement list
filtering handed down, whole; and hotpflt's trace lines, the dispatch entry and device-node lines
among them (only the entry lines of requests that Wine alone sends are left out). Writes to
different functions may interleave differently, since Wine's PnP manager orders devices its way.

With --planted, each planted image (a copy of the image built with one fault) is played too, and
must be caught: some flow differs, or the test bus driver reports a fault.
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
# Minor functions of PnP requests that only Wine's PnP manager sends (identifiers, capabilities,
# device text, device state, bus information): their entry lines are Wine's business.
WINE_ONLY_MINORS = {0x09, 0x0C, 0x13, 0x14, 0x15, 0x18}
ENTRY_LINE = re.compile(r"DispatchPnp: DevObj 0x#(?: \([^)]*\))? IRP 0x([0-9a-f]+)$")
# Notes of the test bus driver that are faults of the image (or of a flow that did not play).
FAULT_WORDS = ("without a reference", "too often", "not released", "timed out", "cannot", "not found",
               "no bus number", "lost")
# Flows the issue asks for that neither kernel can play here, and why.
NOT_PLAYED = (
    ("a query-stop then cancel", "hotpsim's PnP manager never rebalances, so it sends no "
     "query-stop, and Wine's sends none either: there is nothing to hold the image to"),
    ("a second resource query on a classified child", "hotpsim's PnP manager asks a device for "
     "its resources once, before its drivers load, and Wine's never asks"),
)
# What the test bus driver plays otherwise than hotpsim's bus driver, and why.
PLAYED_OTHERWISE = (
    "with lower-pend armed, the start is completed at once: Wine's PnP manager never wakes from a "
    "start it sent that its bus driver pended (Wine 8.0); every other request is pended",
)
WINE_TIMEOUT = 120  # seconds for wineboot, regedit and the wait for the wineserver to end


class CheckError(Exception):
    """A failure of the check itself (a tool that failed or hung), told as one message."""


def trace_line(text):
    """A trace line with kernel addresses (five to eight hexadecimal digits) masked: each kernel
    lays its objects out at its own addresses."""
    return re.sub(r"\b(0x)?[0-9a-f]{5,8}\b", r"\1#", text.rstrip("\n"))


def compared_traces(lines):
    """The trace lines compared: all but the entry line of a request only Wine sends, and the
    device-node line the child filter prints right after it."""
    kept, skip_node = [], False
    for text in lines:
        if skip_node and "deviceNode flag" in text:
            skip_node = False
            continue
        found = ENTRY_LINE.search(text)
        skip_node = found is not None and int(found.group(1), 16) in WINE_ONLY_MINORS
        if not skip_node:
            kept.append(text)
    return kept


def flows_of(step_texts):
    """Groups step indexes (0 = boot, k = k-th scenario event) into flows: the boot, each event, a
    return to D0 joined to the power event before it, a wake to the sleep before it, and a fault
    armed joined to the event after it."""
    flows, armed = [("boot", [0])], None
    for index, text in enumerate(step_texts, start=1):
        if text.startswith("fail"):
            armed = (text, [index])
            continue
        if armed is not None:
            flows.append((f"{armed[0]}, then {text}", armed[1] + [index]))
            armed = None
        elif (text.startswith("power") and text.endswith("D0") and flows[-1][0].startswith("power")) or \
                (text.startswith("wake") and flows[-1][0].startswith("sleep")):
            flows[-1] = (f"{flows[-1][0]}, then {text}", flows[-1][1] + [index])
        else:
            flows.append((text, [index]))
    if armed is not None:
        flows.append(armed)
    return flows


def descriptor_of(d):
    return (d["list"], d["option"], d["type"], d["share"], d["flags"], d["length"], d["alignment"],
            d["minimum"], d["maximum"])


def hotpsim_run(args):
    command = [args.hotpsim, "--machine", args.machine, "--scenario", args.flows, "--json",
               "--trace-level", "4", "--all-requirements"]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=300)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise CheckError(f"hotpsim could not be run: {error}")
    if done.returncode not in (0, 1) or not done.stdout:
        raise CheckError(f"hotpsim failed (exit {done.returncode}): "
                         f"{(done.stderr.strip().splitlines() or ['no message'])[-1]}")
    steps, writes = [], collections.defaultdict(list)
    traces, lists = collections.defaultdict(list), collections.defaultdict(list)
    current = -1
    for number, line in enumerate(done.stdout.splitlines(), start=1):
        try:
            event = json.loads(line)
        except json.JSONDecodeError:
            raise CheckError(f"hotpsim printed a line that is not JSON (line {number}): {line[:80]}")
        kind = event.get("kind")
        if kind == "device" and event["state"] == "not started":
            # Wine's PnP manager arbitrates nothing and starts every device: a device hotpsim
            # cannot start would make the two kernels play different flows.
            raise CheckError(f"under hotpsim {event['bdf']} is not started ({event['reason']}); Wine "
                             "would start it: choose flows in which every device starts")
        if kind == "step":
            if event["text"].startswith("boot"):
                current = 0
            else:
                steps.append(event["text"])
                current = len(steps)
        elif kind == "device":
            current = -2  # the machine taken apart after the last event: not a flow
        elif kind == "requirements":
            lists[current].append((event["bdf"], tuple(descriptor_of(d) for d in event["after"])))
        elif kind == "trace":
            traces[current].append(trace_line(event["text"]))
        elif kind == "config" and event["who"] in HOTPFLT:
            old = event["old"] if event["claimed"] else None
            new = event["new"] if event["claimed"] else None
            writes[current].append((event["bdf"], event["who"], event["offset"], event["width"],
                                    event["value"], old, new))
    return steps, {"writes": writes, "traces": traces, "lists": lists}


def wine_env(prefix):
    # Wine's own err: and fixme: channels stay on (they are counted); debugstr carries the
    # image's DbgPrint lines. WINE_CHECK_DEBUG replaces the channels, to look into a hang
    # ("warn+debugstr,trace+plugplay,trace+ntoskrnl").
    env = dict(os.environ, WINEPREFIX=prefix, WINEARCH="win32", WINEDEBUG=os.environ.get("WINE_CHECK_DEBUG", "warn+debugstr"),
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.pop("DISPLAY", None)
    return env


def timed(command, env, log, what, timeout=WINE_TIMEOUT, check=True):
    try:
        done = subprocess.run(command, env=env, stdout=log, stderr=log, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise CheckError(f"{what} did not finish in {timeout} s")
    except OSError as error:
        raise CheckError(f"{what} could not be run: {error}")
    if check and done.returncode != 0:
        raise CheckError(f"{what} failed (exit {done.returncode})")


def make_prefix(args):
    """A 32-bit prefix with both services installed, made once and copied for each image."""
    template = os.path.abspath(os.path.join(args.work, "prefix-template"))
    shutil.rmtree(template, ignore_errors=True)
    env = wine_env(template)
    with open(os.path.join(args.work, "wineboot.log"), "w") as log:
        timed(["wineboot", "-i"], env, log, "wineboot")
        services = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\"
        reg = os.path.join(args.work, "services.reg")
        with open(reg, "w") as f:
            f.write("REGEDIT4\n")
            for name in ("hotpflt", "hotptbus"):
                f.write(f'\n[{services}{name}]\n"Type"=dword:00000001\n"Start"=dword:00000003\n'
                        f'"ErrorControl"=dword:00000001\n'
                        f'"ImagePath"="C:\\\\windows\\\\system32\\\\drivers\\\\{name}.sys"\n')
        timed(["wine", "regedit", "/S", reg], env, log, "wine regedit")
        # The service manager reads its services when it starts: end this session first.
        timed(["wineserver", "-k"], env, log, "wineserver -k", check=False)
        timed(["wineserver", "-w"], env, log, "wineserver -w", check=False)
    return template


def run_wine(args, template, image, name):
    """Plays the flows under Wine with one image; returns the test bus driver's log ("" when it
    wrote none) and the path of Wine's own log."""
    work = os.path.join(args.work, name)
    os.makedirs(work, exist_ok=True)
    prefix = os.path.abspath(os.path.join(work, "prefix"))
    shutil.rmtree(prefix, ignore_errors=True)
    shutil.copytree(template, prefix, symlinks=True)
    env = wine_env(prefix)
    drivers = os.path.join(prefix, "drive_c", "windows", "system32", "drivers")
    shutil.copy(image, os.path.join(drivers, "hotpflt.sys"))
    shutil.copy(args.testbus, os.path.join(drivers, "hotptbus.sys"))
    wine_log = os.path.join(work, "wine.log")
    log = open(wine_log, "w")
    result = os.path.join(prefix, "drive_c", "hotptbus.log")
    # Wine ends its system processes (the device host among them) once no ordinary process is
    # left: a command interpreter waiting on its input keeps the session open meanwhile.
    keeper = subprocess.Popen(["wine", "cmd"], env=env, stdin=subprocess.PIPE, stdout=log, stderr=log)
    text = ""
    try:
        try:
            subprocess.run(["wine", "net", "start", "hotptbus"], env=env, stdout=log, stderr=log,
                           timeout=WINE_TIMEOUT)
        except subprocess.TimeoutExpired:
            print(f"wine-check: {name}: the test bus driver's service did not start in {WINE_TIMEOUT} s")
        deadline = time.monotonic() + args.timeout
        while time.monotonic() < deadline:
            if os.path.exists(result):
                with open(result) as f:
                    text = f.read()
                if text.endswith("done\n"):
                    break
            time.sleep(0.5)
    finally:
        timed(["wineserver", "-k"], env, log, "wineserver -k", check=False)
        try:
            keeper.wait(timeout=WINE_TIMEOUT)
        except subprocess.TimeoutExpired:
            keeper.kill()
        log.close()
    if os.path.exists(result):
        shutil.copy(result, os.path.join(work, "hotptbus.log"))
    shutil.rmtree(prefix, ignore_errors=True)
    return text, wine_log


def wine_results(text, wine_log):
    """What the test bus driver logged, and the trace lines the image printed through Wine's
    DbgPrint, by step; Wine's own err: and fixme: lines counted."""
    writes, lists = collections.defaultdict(list), collections.defaultdict(list)
    notes, guards, current, last_step = [], [], 0, 0
    kinds = {1: "io", 3: "memory"}
    for line in text.splitlines():
        field = line.split()
        if not field:
            continue
        if field[0] == "step":
            current = last_step = int(field[1], 16)
        elif field[0] == "requirements":
            descriptors = []
            for item in field[2:]:
                alt, option, kind, share, flags, length, alignment, low, high = \
                    (int(x, 16) for x in item.split(":"))
                descriptors.append((alt, option, kinds.get(kind, "other"), share, flags, length,
                                    alignment, low, high))
            lists[current].append((field[1], tuple(descriptors)))
        elif field[0] == "note":
            notes.append((current, line[5:]))
        elif field[0] == "guard":
            guards.append((current, field[1], int(field[2], 16), int(field[3], 16) - (1 << 32)
                           if int(field[3], 16) >= 1 << 31 else int(field[3], 16)))
        elif field[0] == "W" and field[1] in HOTPFLT:
            claimed = field[8] == "claimed"
            writes[current].append((field[2], field[1], int(field[3], 16), int(field[4], 16),
                                    int(field[5], 16), int(field[6], 16) if claimed else None,
                                    int(field[7], 16) if claimed else None))
    traces, current = collections.defaultdict(list), 0
    counts = collections.Counter()
    marker = re.compile(r":warn:debugstr:\S+ [0-9a-f]{8}:[0-9a-f]{8}: (.*)$")
    with open(wine_log, errors="replace") as f:
        for line in f:
            if re.search(r"\b(err|fixme):", line) and ":warn:debugstr:" not in line:
                counts["err" if re.search(r"\berr:", line) else "fixme"] += 1
            found = marker.search(line.rstrip("\n"))
            if found is None:
                continue
            if found.group(1).startswith("hotptbus: step "):
                current = int(found.group(1).split()[-1], 16)
            else:
                traces[current].append(trace_line(found.group(1)))
    return {"writes": writes, "traces": traces, "lists": lists, "notes": notes, "guards": guards,
            "finished": text.endswith("done\n"), "last_step": last_step, "wine_lines": counts}


def link_map(path):
    """The image's routines by address, from its link map: [(address, name)] sorted."""
    symbols = []
    if not os.path.exists(path):
        return symbols
    with open(path, errors="replace") as f:
        for line in f:
            found = re.match(r"\s+0x([0-9a-f]{8})\s+_?([A-Za-z_]\w*)(@\d+)?\s*$", line)
            if found:
                symbols.append((int(found.group(1), 16), found.group(2)))
    return sorted(symbols)


def routine_at(symbols, offset, base=0x10000):
    address, name = base + offset, None
    for at, symbol in symbols:
        if at > address:
            break
        name = f"{symbol}+0x{address - at:x}" if address != at else symbol
    return name or f"image+0x{offset:x}"


def by_function(writes):
    grouped = collections.defaultdict(list)
    for write in writes:
        grouped[write[0]].append(write[1:])
    return dict(grouped)


def show(write):
    who, offset, width, value, old, new = write
    held = f"{old:0{2 * width}x} -> {new:0{2 * width}x}" if old is not None else "unclaimed"
    return f"{who} {offset:02x}/{width} := {value:0{2 * width}x} ({held})"


def show_list(entry):
    bdf, descriptors = entry
    items = [f"[{a}] opt {o} {t} share {s} flags {f:#x} len {n:#x} align {al:#x} {lo:#x}-{hi:#x}"
             for a, o, t, s, f, n, al, lo, hi in descriptors]
    return f"{bdf}: " + ("; ".join(items) if items else "(empty)")


def compare(steps, expected, got, symbols, step_names, verbose=True):
    """Compares flow by flow; returns (matched, flows, problems): problems name what the test bus
    driver saw go wrong beside the flows."""
    problems = []
    for step, note in got["notes"]:
        if any(word in note for word in FAULT_WORDS):
            problems.append(f"test bus driver, {step_names.get(step, 'step ' + str(step))}: {note}")
    for step, what, offset, skew in got["guards"]:
        where = step_names.get(step, f"step {step}")
        if skew < 0:
            problems.append(f"the {what} routine {routine_at(symbols, offset)} left {-skew} bytes of "
                            f"its arguments on the stack ({where}): it is not of the kernel's "
                            "calling convention (stdcall)")
        else:
            problems.append(f"the {what} routine {routine_at(symbols, offset)} removed {skew} bytes "
                            f"more than its arguments from the stack ({where})")
    if not got["finished"]:
        hung = step_names.get(got["last_step"], f"step {got['last_step']}")
        problems.append(f"the test bus driver did not finish: it hung in {hung}")
    flows = flows_of(steps)
    matched, report = 0, []
    for number, (name, indexes) in enumerate(flows, start=1):
        want = by_function([w for i in indexes for w in expected["writes"][i]])
        have = by_function([w for i in indexes for w in got["writes"][i]])
        count = sum(len(v) for v in want.values())
        want_traces = collections.Counter(t for i in indexes for t in compared_traces(expected["traces"][i]))
        have_traces = collections.Counter(t for i in indexes for t in compared_traces(got["traces"][i]))
        want_lists = sorted(r for i in indexes for r in expected["lists"][i])
        have_lists = sorted(r for i in indexes for r in got["lists"][i])
        played = got["finished"] or got["last_step"] > max(indexes)
        if want == have and want_traces == have_traces and want_lists == have_lists and played:
            matched += 1
            report.append(f"flow {number} ({name}): match, {count} writes, {len(want_lists)} "
                          f"requirement lists and {sum(want_traces.values())} trace lines by hotpflt")
            continue
        report.append(f"flow {number} ({name}): DIFFERENT" + ("" if played else " (not played to its end)"))
        for line in sorted(set(want_lists) - set(have_lists)):
            report.append(f"  requirements only under hotpsim: {show_list(line)}")
        for line in sorted(set(have_lists) - set(want_lists)):
            report.append(f"  requirements only under wine:    {show_list(line)}")
        for line in sorted((want_traces - have_traces).elements()):
            report.append(f"  trace only under hotpsim: {line}")
        for line in sorted((have_traces - want_traces).elements()):
            report.append(f"  trace only under wine:    {line}")
        for bdf in sorted(set(want) | set(have)):
            if want.get(bdf) == have.get(bdf):
                continue
            report.append(f"  {bdf}:")
            for line in want.get(bdf, []):
                report.append(f"    hotpsim: {show(line)}")
            for line in have.get(bdf, []):
                report.append(f"    wine:    {show(line)}")
    if verbose:
        for line in report:
            print(line)
    # Each flow that differs, with the first thing that differs in it.
    different = []
    for at, line in enumerate(report):
        if "DIFFERENT" in line:
            detail = report[at + 1].strip() if at + 1 < len(report) and report[at + 1].startswith("  ") else ""
            different.append(f"{line}: {detail}" if detail else line)
    return matched, flows, problems, different


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    for option in ("hotpsim", "image", "testbus", "machine", "flows", "work"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--planted", nargs="*", default=[],
                        help="planted images, each NAME=PATH (its link map beside it, .map)")
    parser.add_argument("--timeout", type=float, default=240)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    started = time.monotonic()

    steps, expected = hotpsim_run(args)
    step_names = {0: "the boot"}
    step_names.update({i: f"step {i} ({text})" for i, text in enumerate(steps, start=1)})
    template = make_prefix(args)

    text, wine_log = run_wine(args, template, args.image, "shipped")
    got = wine_results(text, wine_log)
    symbols = link_map(os.path.splitext(args.image)[0] + ".map")
    matched, flows, problems, _ = compare(steps, expected, got, symbols, step_names)
    for name, why in NOT_PLAYED:
        print(f"flow ({name}): not played: {why}")
    for what in PLAYED_OTHERWISE:
        print(f"wine-check: played otherwise: {what}")
    for problem in problems:
        print(f"wine-check: {problem}")
    counts = got["wine_lines"]
    print(f"wine-check: Wine printed {counts['err']} err: and {counts['fixme']} fixme: lines of its "
          f"own (kept in {wine_log})")
    if problems:
        matched = 0
    print(f"wine-check: {matched} passed, {len(flows) - matched} failed")

    caught = 0
    for planted in args.planted:
        name, _, path = planted.partition("=")
        text, log = run_wine(args, template, path, "planted-" + name)
        result = wine_results(text, log)
        found, _, planted_problems, different = compare(
            steps, expected, result, link_map(os.path.splitext(path)[0] + ".map"), step_names,
            verbose=False)
        reasons = planted_problems + different
        if reasons:
            caught += 1
            print(f"planted fault {name}: caught: {reasons[0]}"
                  + (f" (and {len(reasons) - 1} more)" if len(reasons) > 1 else ""))
        else:
            print(f"planted fault {name}: NOT CAUGHT: every flow matched")
    print(f"wine-check: played in {time.monotonic() - started:.0f} s")
    print(f"wine-check: {matched} of {len(flows)} flows match")
    if args.planted:
        print(f"wine-check: {caught} of {len(args.planted)} planted faults caught")
    ok = matched == len(flows) and len(flows) >= 10 and caught == len(args.planted)
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except CheckError as error:
        print(f"wine-check: {error}")
        sys.exit(1)
    except OSError as error:
        print(f"wine-check: {error.filename or 'a file'}: {error.strerror}")
        sys.exit(1)
