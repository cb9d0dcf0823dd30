"""What hotpsim tells a driver engineer: who made each configuration access, requests, resets and
breakpoints in the story, what the driver changed, the debugger views, the JSON events against
their documented schema, and the exit status of every kind of input."""
import json
import os
import re
import unittest

import hotpsim_cli
from hotpsim_cli import events, lines_of, run, scenario_file

SCHEMA = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "hotpsim-events.schema.json")


class Schema(unittest.TestCase):
    """Every line of the built-in scenario, with every kind switched on, is valid against the
    documented schema, and against the definition its own kind names."""

    def test_every_json_line_validates(self):
        import jsonschema
        with open(SCHEMA) as file:
            schema = json.load(file)
        jsonschema.Draft202012Validator.check_schema(schema)
        whole = jsonschema.Draft202012Validator(schema)
        code, lines, err = events("--trace-level", "4", "--break-level", "4", "--show-reads")
        self.assertEqual(code, 0, err)
        for line in lines:
            kind = line.get("kind")
            self.assertIn(kind, schema["$defs"], line)
            by_kind = jsonschema.Draft202012Validator({"$ref": "#/$defs/" + kind, "$defs": schema["$defs"]})
            errors = [e.message for e in by_kind.iter_errors(line)]
            self.assertEqual(errors, [], line)
            self.assertTrue(whole.is_valid(line), line)
        kinds = {line["kind"] for line in lines}
        self.assertLessEqual({"run", "step", "firmware", "request", "trace", "break", "event",
                              "config", "read", "busnum", "requirements", "reset", "device",
                              "verdict", "change"}, kinds)

    def test_fields_carry_what_the_text_said(self):
        code, lines, err = events("--trace-level", "4")
        self.assertEqual(code, 0, err)
        writes = [l for l in lines if l["kind"] == "config"]
        # The driver switches a hot-added card on through its bus interface.
        self.assertIn({"who": "hotpflt-bus-interface", "bdf": "01:01.0", "register": "COMMAND",
                       "old": 0, "new": 0x147},
                      [{k: w[k] for k in ("who", "bdf", "register", "old", "new")} for w in writes])
        power = [(l["minor"], l["state"], l["target"]) for l in lines
                 if l["kind"] == "request" and l["major"] == "IRP_MJ_POWER"]
        self.assertEqual(power, [("IRP_MN_SET_POWER", "D3", "01:01.0"), ("IRP_MN_SET_POWER", "D0", "01:01.0")])
        requirements = [l for l in lines if l["kind"] == "requirements"]
        self.assertEqual([r["bdf"] for r in requirements], ["01:02.0"])
        self.assertEqual(requirements[0]["totals"]["prefetchable"], 0x10000000)
        prefetchable = [(d["length"], d["option"]) for d in requirements[0]["after"] if d["flags"] & 4]
        # The raised window preferred, the bus driver's own its alternative.
        self.assertEqual(prefetchable, [(0x10000000, 1), (0x100000, 8)])
        # With --all-requirements the lists filtering kept are reported too (the network card's),
        # every descriptor with its share disposition (device exclusive).
        code, every, err = events("--all-requirements")
        listed = [l for l in every if l["kind"] == "requirements"]
        self.assertLessEqual({"01:01.0", "01:02.0"}, {l["bdf"] for l in listed}, err)
        self.assertEqual({d["share"] for l in listed for d in l["after"]}, {1})
        verdict = lines[-1] if lines[-1]["kind"] == "verdict" else [l for l in lines if l["kind"] == "verdict"][0]
        self.assertEqual((verdict["clean"], verdict["exit"]), (True, 0))


class Story(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.code, cls.out, cls.err = run("--trace-level", "4")

    def test_every_kind_of_caller_is_named(self):
        self.assertEqual(self.code, 0, self.err)
        callers = {re.split(r"\s{2,}", line)[0] for line in lines_of(self.out, "config")}
        self.assertEqual(callers, {"firmware", "bus driver", "hotpflt via bus interface",
                                   "hotpflt via root accessors"})

    def test_writes_name_the_register_and_its_values(self):
        config = lines_of(self.out, "config")
        expected = [
            # The register keeps fewer bits than the driver writes: what it wrote shows too.
            r"^hotpflt via bus interface\s+01:01\.0  COMMAND 0x0000 -> 0x0147 \(wrote 0x03ff\)$",
            r"^hotpflt via bus interface\s+01:01\.0  LATENCY_TIMER 0x00 -> 0x90$",
            r"^firmware\s+00:1e\.0  SUBORDINATE 01 -> 09$",
            r"^bus driver\s+01:02\.0  PRIMARY 00 -> 01, SECONDARY 00 -> 02, SUBORDINATE 00 -> 02$",
            r"^bus driver\s+01:01\.0  PMCSR 0x0003 -> 0x0000$",
        ]
        for pattern in expected:
            self.assertTrue(any(re.match(pattern, line) for line in config), pattern)

    def test_bar_sizing_folds_into_one_line_per_function(self):
        config = lines_of(self.out, "config")
        sized = [line for line in config if "sized" in line]
        self.assertTrue(any(re.match(r"^firmware\s+00:02\.0  BAR0 sized: io 32, BAR1 sized: mem32 4K "
                                     r"\(BAR2-5 not implemented\)$", line) for line in sized), sized)
        self.assertTrue(any(re.match(r"^hotpflt via root accessors\s+02:01\.0  BAR0 sized: mem64 "
                                     r"prefetchable 256M", line) for line in sized), sized)
        # Firmware's ROM sizing and its command writes that change nothing fold away with it.
        firmware = [line for line in config if line.startswith("firmware")]
        self.assertFalse([line for line in firmware if "ROM_BASE" in line], firmware)
        self.assertFalse([line for line in firmware
                          if re.search(r"COMMAND (0x[0-9a-f]{4}) -> \1$", line)], firmware)
        # No all-ones probe is left standing on its own.
        code, lines, err = events()
        self.assertEqual(code, 0, err)
        probes = {"%s  %s 0x%08x -> 0x%08x" % (l["bdf"], l["register"], l["old"], l["new"])
                  for l in lines if l["kind"] == "config" and l["value"] == 0xFFFFFFFF
                  and l["old"] != l["new"]}
        self.assertGreater(len(probes), 10)
        self.assertEqual([line for line in config if line.split(None, 2)[-1] in probes
                          or re.split(r"\s{2,}", line, 1)[-1] in probes], [])

    def test_requests_power_and_reset_read_as_a_story(self):
        requests = lines_of(self.out, "request")
        self.assertIn("IRP_MN_START_DEVICE (0x00) -> 00:02.0 network controller", requests)
        self.assertIn("IRP_MN_SET_POWER (0x02) D3 -> 01:01.0 network controller", requests)
        power_on = self.out.split("== power slot 1 to D0", 1)[1].split("\n== ", 1)[0]
        self.assertEqual(len(lines_of(power_on, "reset")), 1)
        self.assertIn("01:01.0 reset", lines_of(power_on, "reset")[0])

    def test_bridge_stacks_label_both_filters(self):
        tree = self.out.split("== final state", 1)[1]
        bridge_stacks = [line for line in tree.splitlines()
                         if "stack:" in line and line.strip().startswith("stack: \\Driver\\pci(")]
        self.assertEqual(len(bridge_stacks), 2)
        for stack in bridge_stacks:
            self.assertRegex(stack, r"\\Driver\\hotpflt\([0-9a-f]{8}, bus filter\) "
                                    r"\\Driver\\hotpflt\([0-9a-f]{8}, child filter\)")

    def test_reads_only_when_asked(self):
        self.assertEqual(lines_of(self.out, "read"), [])
        code, out, err = run("--show-reads", "--no-config-writes")
        self.assertEqual(code, 0, err)
        self.assertTrue(any(re.match(r"^bus driver\s+00:02\.0  VENDOR_ID = 0x7e57$", line)
                            for line in lines_of(out, "read")))

    def test_each_breakpoint_names_the_routine_that_hit_it(self):
        # At equal levels every trace point prints, then breaks: one break per trace line, in
        # the routine whose name begins that line.
        code, out, err = run("--trace-level", "3", "--break-level", "3", "--no-config-writes")
        self.assertEqual(code, 0, err)
        story = [line.strip() for line in out.splitlines()
                 if line.strip().startswith(("trace ", "break "))]
        traces = [line for line in story if line.startswith("trace ")]
        self.assertGreater(len(traces), 0)
        self.assertEqual(len(story), 2 * len(traces))
        for printed, hit in zip(story[0::2], story[1::2]):
            routine = re.match(r"trace\s+(\w+)", printed).group(1)
            self.assertRegex(hit, r"^break\s+Break instruction exception - code 80000003 "
                                  r"\(first chance\) at hotpflt!" + routine + r"\+0x[0-9a-f]+$")


class WhatTheDriverChanged(unittest.TestCase):
    """The summary compares with the same machine and scenario played without the driver."""

    CASES = [
        # name, scenario (None: built in), differences expected as (bdf, what)
        ("built-in scenario", None, {
            ("00:02.0", "latency timer"), ("01:00.0", "latency timer"),
            ("01:02.0", "windows"),
            ("02:00.0", "command"), ("02:00.0", "latency timer"), ("02:00.0", "cache line size"),
            ("02:00.1", "command"), ("02:00.1", "latency timer"), ("02:00.1", "cache line size"),
            ("02:01.0", "state"), ("02:01.0", "resources"), ("02:01.0", "command"),
            ("02:01.0", "latency timer"), ("02:01.0", "cache line size")}),
        ("one card, kept", 'name = "one card"\n[[event]]\nat = "1ms"\ninsert = "network card"\n'
                           'slot = "slot 1"\n', {
            ("00:02.0", "latency timer"), ("01:00.0", "latency timer"),
            ("01:01.0", "command"), ("01:01.0", "latency timer"), ("01:01.0", "cache line size")}),
        ("nothing happens", 'name = "idle"\n', {
            ("00:02.0", "latency timer"), ("01:00.0", "latency timer")}),
    ]

    def test_differences_per_device(self):
        for name, scenario, expected in self.CASES:
            with self.subTest(name):
                arguments = ["--scenario", scenario_file(scenario)] if scenario is not None else []
                code, lines, err = events(*arguments)
                self.assertEqual(code, 0, err)
                changes = [l for l in lines if l["kind"] == "change"]
                self.assertEqual({(c["bdf"], c["what"]) for c in changes}, expected)

    def test_the_device_only_the_driver_starts_says_why_it_would_not(self):
        code, lines, err = events()
        self.assertEqual(code, 0, err)
        state = [c for c in lines if c["kind"] == "change" and c["what"] == "state"]
        self.assertEqual(len(state), 1)
        self.assertEqual(state[0]["with"], "started")
        self.assertRegex(state[0]["without"], r"^not started: no room for 256 MB of prefetchable memory")
        windows = [c for c in lines if c["kind"] == "change" and c["what"] == "windows"][0]
        self.assertIn("pref 80000000-8fffffff", windows["with"])
        self.assertIn("pref 80000000-800fffff", windows["without"])

    def test_story_ends_with_the_summary_and_no_filter_shows_none(self):
        code, out, err = run("--no-config-writes")
        self.assertEqual(code, 0, err)
        last = out.rstrip().split("\n== ")[-1]
        self.assertTrue(last.startswith("what hotpflt changed"), last)
        self.assertIn("02:01.0 processor\n      state: started    without hotpflt: not started", last)
        code, out, err = run("--no-filter", "--no-config-writes")
        self.assertEqual(code, 0, err)
        self.assertNotIn("what hotpflt changed", out)


class Views(unittest.TestCase):
    def test_devstack_marks_each_pdo_and_labels_the_filters(self):
        code, out, err = run("--view", "devstack")
        self.assertEqual(code, 0, err)
        self.assertEqual(lines_of(out, "config"), [])  # the view alone
        stacks = out.split("kd> !devstack ")[1:]
        self.assertEqual(len(stacks), 10)
        for stack in stacks:
            pdo = stack.split()[0]
            objects = [l for l in stack.splitlines() if re.match(r"^[> ] [0-9a-f]{8}  \\Driver\\", l)]
            self.assertEqual([l for l in objects if l.startswith(">")], [objects[-1]], stack)
            self.assertTrue(objects[-1].startswith("> " + pdo), stack)
            self.assertRegex(stack, r'\n  DeviceInst is "(PCI\\VEN_[0-9A-F]{4}&DEV_[0-9A-F]{4}&SUBSYS_'
                                    r'[0-9A-F]{8}&REV_[0-9A-F]{2}\\\d&[0-9a-f]+&0&[0-9A-F]{2}|Root\\PCI_HAL\\0000)"')
        bridges = [s for s in stacks if "PCI-to-PCI bridge" in s.splitlines()[0]]
        self.assertEqual(len(bridges), 2)
        for stack in bridges:
            self.assertRegex(stack, r"\\Driver\\hotpflt +[0-9a-f]{8}  \(bus filter\)\n"
                                    r"  [0-9a-f]{8}  \\Driver\\hotpflt +[0-9a-f]{8}  \(child filter\)")

    def test_devnode_indents_children_under_their_parent(self):
        code, out, err = run("--view", "devnode")
        self.assertEqual(code, 0, err)
        nodes = re.findall(r"^( *)DevNode 0x[0-9a-f]{8} for PDO 0x[0-9a-f]{8} +\$ (.*)$", out, re.M)
        depth = {name: len(indent) // 2 for indent, name in nodes}
        self.assertEqual(depth["PCI root bus"], 0)
        self.assertEqual(depth["00:1e.0 PCI-to-PCI bridge"], 1)
        self.assertEqual(depth["01:02.0 PCI-to-PCI bridge"], 2)
        self.assertEqual(depth["02:01.0 processor"], 3)
        self.assertEqual(out.count("State = DeviceNodeStarted (0x308)"), len(nodes))

    def test_devnode_tells_the_problem_of_a_device_without_room(self):
        code, out, err = run("--view", "devnode", "--no-filter")
        self.assertEqual(code, 0, err)
        self.assertRegex(out, r"\$ 02:01\.0 processor\n(.*\n){3,4} *Problem = CM_PROB_NORMAL_CONFLICT "
                              r"\(0xc\)  no room for 256 MB")


class ExitStatus(unittest.TestCase):
    def test_an_event_that_cannot_be_applied_exits_1_with_its_verdict(self):
        # The bus driver fails every request it may fail: the root bus reports no devices, so
        # the scenario's inserts and power events find no device to act on.
        for arguments in ([], ["--json"]):
            with self.subTest(" ".join(arguments) or "story"):
                code, out, err = run("--fail", "lower-fail:1+", "--no-config-writes", *arguments)
                self.assertEqual(code, 1, err)
                if not arguments:
                    self.assertIn("problem   power: no device at slot 1", out)
                    continue
                verdicts = [e for e in map(json.loads, out.splitlines()) if e["kind"] == "verdict"]
                self.assertEqual(len(verdicts), 1)
                verdict = verdicts[0]
                self.assertEqual(verdict["exit"], 1)
                self.assertFalse(verdict["clean"])
                self.assertIn("an event of the scenario could not be applied", verdict["problems"])

    def test_help_documents_the_exit_status_and_succeeds(self):
        code, out, _ = run("--help")
        self.assertEqual(code, 0)
        self.assertIn("Exit status:", out)
        self.assertRegex(out, r"\n +1 +the scenario played but something broke")
        self.assertRegex(out, r"\n +2 +bad input")


if __name__ == "__main__":
    hotpsim_cli.main()
