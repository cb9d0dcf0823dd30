#!/usr/bin/env python3
"""Replugs every card with a bridge on a root bus of each published lspci dump, with hotpflt and
without it, and prints what started.

For every dump in tests/data/lspci (or the dumps named), the dump is imported as a machine file
(`hotpsim import`), booted once to see what starts at boot, and then each card on a root bus that
holds a bridge or CardBus bridge (every function at that device number, as `hotpsim --replug`
pulls them) is pulled out and hot added again, once with the driver and once with `--no-filter`.
One row per card:

  dump, replugged card, devices of the card started at boot, started after the replug with the
  driver, without it, and the devices started at boot that did not come back with the driver
  (and without it).

Devices are told apart by their path from the root bus (device.function at each level), so a
replug that numbers the buses behind the card anew still finds them. Usage:

  scripts/replug_table.py [--hotpsim build/host64/bin/hotpsim] [--markdown] [DUMP ...]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import tomllib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DUMPS = os.path.join(ROOT, "tests", "data", "lspci")


def run(hotpsim, args):
    """hotpsim's --json lines; a run whose verdict is not clean still counts."""
    done = subprocess.run([hotpsim, *args, "--json"], capture_output=True, text=True)
    if done.returncode not in (0, 1):
        raise RuntimeError(f"hotpsim {' '.join(args)}: exit {done.returncode}: {done.stderr.strip()}")
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def started_paths(events):
    """The devices of the final tree that started, each as (root bus, path of dd.f)."""
    devices = {e["bdf"]: e for e in events if e.get("kind") == "device" and e["bdf"] is not None}
    paths = {}

    def path(bdf):
        if bdf not in paths:
            e = devices[bdf]
            step = bdf.split(":", 1)[1]
            paths[bdf] = (path(e["parent"]) if e["parent"] in devices else ()) + (step,)
        return paths[bdf]

    return {(e["root_bus"], path(bdf)) for bdf, e in devices.items() if e["state"] == "started"}


def cards(machine):
    """The cards to replug: (root bus, device number, bridge locations) for each device number on
    a root bus that has a bridge or CardBus bridge among its functions."""
    roots = [(0, machine.get("function", []))]
    roots += [(r["bus"], r.get("function", [])) for r in machine.get("root", [])]
    found = []
    for number, functions in roots:
        by_device = {}
        for f in functions:
            at = f["at"].split(":")[-1]
            device = int(at.split(".")[0], 16)
            if f.get("kind", "device") != "device":
                by_device.setdefault(device, []).append(f"{number:02x}:{at}")
        found += [(number, device, sorted(bridges)) for device, bridges in sorted(by_device.items())]
    return found


def measure(hotpsim, dump, workdir):
    machine_file = os.path.join(workdir, os.path.basename(dump) + ".toml")
    done = subprocess.run([hotpsim, "import", dump, "-o", machine_file], capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"hotpsim import {dump}: {done.stderr.strip()}")
    with open(machine_file, "rb") as f:
        machine = tomllib.load(f)
    boot = started_paths(run(hotpsim, ["--machine", machine_file]))
    rows = []
    for root, device, bridges in cards(machine):
        def in_card(paths):
            return {p for p in paths if p[0] == root and int(p[1][0].split(".")[0], 16) == device}

        target = bridges[0]
        at_boot = in_card(boot)
        with_driver = in_card(started_paths(run(hotpsim, ["--machine", machine_file, "--replug", target])))
        without = in_card(started_paths(
            run(hotpsim, ["--machine", machine_file, "--replug", target, "--no-filter"])))
        rows.append({
            "dump": os.path.basename(dump),
            "card": target + ("" if len(bridges) == 1 else " (" + ", ".join(b[3:] for b in bridges) + ")"),
            "boot": len(at_boot),
            "with": len(with_driver),
            "without": len(without),
            "lost_with": len(at_boot - with_driver),
            "lost_without": len(at_boot - without),
        })
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hotpsim", default=os.path.join(ROOT, "build", "host64", "bin", "hotpsim"))
    parser.add_argument("--markdown", action="store_true", help="a Markdown table")
    parser.add_argument("dumps", nargs="*")
    args = parser.parse_args()
    dumps = args.dumps or sorted(os.path.join(DUMPS, f) for f in os.listdir(DUMPS) if f.endswith(".txt"))

    header = ["dump", "replugged card", "at boot", "with driver", "without", "lost with", "lost without"]
    keys = ["dump", "card", "boot", "with", "without", "lost_with", "lost_without"]
    rows = []
    with tempfile.TemporaryDirectory() as workdir:
        for dump in dumps:
            rows += measure(args.hotpsim, dump, workdir)
    table = [header] + [[str(r[k]) for k in keys] for r in rows]
    if args.markdown:
        for i, line in enumerate(table):
            print("| " + " | ".join(line) + " |")
            if i == 0:
                print("|" + "|".join("---" for _ in line) + "|")
    else:
        widths = [max(len(line[i]) for line in table) for i in range(len(header))]
        for line in table:
            print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
    print(f"\n{len(rows)} replugs; {sum(r['with'] < r['without'] for r in rows)} start fewer devices with "
          f"the driver than without; {sum(r['lost_with'] > 0 for r in rows)} leave a device started at boot "
          f"down with the driver ({sum(r['lost_without'] > 0 for r in rows)} without)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
