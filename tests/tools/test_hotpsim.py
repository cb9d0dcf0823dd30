"""hotpsim as a user runs it: the default scenario, options, machine files, exit codes."""
import json
import os
import re
import subprocess
import tempfile
import unittest

import hotpsim_cli
from hotpsim_cli import lines_of, run, scenario_file


class DefaultScenario(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.code, cls.out, cls.err = run("--trace-level", "4", "--no-config-writes")

    def test_runs_clean(self):
        self.assertEqual(self.code, 0, self.err)
        self.assertIn("clean: no platform rule broken, nothing leaked", self.out)

    def test_trace_shows_the_typical_event(self):
        traces = lines_of(self.out, "trace")
        self.assertTrue(any(re.match(r"HotpAddDevice - BusFilter [0-9a-f]+ attached to PDO", t)
                            for t in traces))
        self.assertIn("HotpProgramPCI - hot added device", traces)
        self.assertTrue(any(t.startswith("HotpPostProgramPCI - LatencyTimer(90) set for") for t in traces))
        self.assertIn("HotpQueryChildResources - AddDevice called for P2P", traces)

    def test_attach_events_are_rendered(self):
        events = lines_of(self.out, "event")
        self.assertTrue(events)
        for event in events:
            self.assertRegex(event, r"^hotpflt 40000403: Norvane PCI ホットプラグ・フィルターはアダプター "
                                    r"PDO [ 0-9a-f]{8} にアタッチされました。$")

    def test_final_tree_lists_every_stack(self):
        tree = self.out.split("== final state", 1)[1]
        self.assertIn("\\Driver\\hotpflt", tree)
        self.assertIn("PCI-to-PCI bridge  [started]", tree)


class Options(unittest.TestCase):
    def test_level_zero_prints_no_trace_and_no_event(self):
        code, out, err = run("--no-config-writes")
        self.assertEqual(code, 0, err)
        self.assertEqual(lines_of(out, "trace"), [])
        self.assertEqual(lines_of(out, "event"), [])

    def test_break_level_records_breakpoints_without_printing(self):
        code, out, err = run("--break-level", "4", "--no-config-writes")
        self.assertEqual(code, 0, err)
        self.assertEqual(lines_of(out, "trace"), [])
        self.assertGreater(len(lines_of(out, "break")), 0)

    def test_no_filter_runs_without_the_driver(self):
        code, out, err = run("--no-filter", "--trace-level", "4", "--no-config-writes")
        self.assertEqual(code, 0, err)
        self.assertEqual(lines_of(out, "trace"), [])
        self.assertNotIn("\\Driver\\hotpflt", out)

    def test_json_is_one_object_per_line(self):
        import json
        code, out, err = run("--json", "--trace-level", "4")
        self.assertEqual(code, 0, err)
        kinds = {json.loads(line)["kind"] for line in out.splitlines()}
        self.assertTrue({"trace", "request", "config", "event", "step"} <= kinds)

    def test_lspci_dump_is_decoded_by_lspci(self):
        with tempfile.TemporaryDirectory() as folder:
            dump = os.path.join(folder, "dump.txt")
            code, _, err = run("--lspci-dump", dump, "--no-config-writes")
            self.assertEqual(code, 0, err)
            decoded = subprocess.run(["lspci", "-F", dump, "-vv"], capture_output=True, text=True)
            self.assertEqual(decoded.returncode, 0, decoded.stderr)
            self.assertIn("PCI bridge", decoded.stdout)
            self.assertIn("Latency: 144", decoded.stdout)  # 0x90 written by the driver

    def test_html_page_is_written_beside_an_unchanged_story(self):
        # What the page holds is checked in a browser (make html-check).
        _, plain, _ = run("--no-config-writes")
        with tempfile.TemporaryDirectory() as folder:
            page = os.path.join(folder, "run.html")
            code, out, err = run("--no-config-writes", "--html", page)
            self.assertEqual((code, out), (0, plain), err)
            with open(page) as file:
                self.assertTrue(file.read().startswith("<!DOCTYPE html>"))

    def test_every_request_pended_below_still_runs_clean(self):
        code, out, err = run("--pend-all", "--trace-level", "4", "--no-config-writes")
        self.assertEqual(code, 0, err)
        self.assertIn("clean: no platform rule broken", out)
        self.assertIn("HotpProgramPCI - hot added device", lines_of(out, "trace"))

    def test_nested_bridges_get_temporary_bus_numbers_and_give_them_back(self):
        scenario = ('name = "nested"\n[[event]]\nat = "1ms"\ninsert = "nested bridge card"\n'
                    'slot = "slot 1"\n[[event]]\nat = "2ms"\nsleep = "S3"\n[[event]]\n'
                    'at = "3ms"\nwake = true\n[[event]]\nat = "4ms"\nsurprise_remove = "slot 1"\n')
        code, out, err = run("--scenario", scenario_file(scenario), "--no-config-writes")
        self.assertEqual(code, 0, err)
        numbers = lines_of(out, "busnum")
        # The scan numbers the nested bridge, clears it, and writes the target's subordinate back,
        # all through the root accessors.
        scan = "  (hotpflt via root accessors)"
        self.assertIn("02:00.0 primary/secondary/subordinate = 02/03/03" + scan, numbers)
        self.assertIn("02:00.0 primary/secondary/subordinate = 00/00/00" + scan, numbers)
        self.assertIn("01:01.0 subordinate = 02" + scan, numbers)
        self.assertRegex(out, r"\n +scan totals: I/O 0x")
        self.assertEqual(lines_of(out, "conflict"), [])

    def test_injected_fault_is_armed_from_boot(self):
        # Every pool allocation of the driver fails from boot on: it filters nothing, the
        # machine still runs clean, and the arming is shown before boot.
        code, out, err = run("--fail", "pool:1+", "--no-config-writes")
        self.assertEqual(code, 0, err)
        self.assertIn("clean: no platform rule broken", out)
        self.assertTrue(any(line.startswith("armed: ExAllocatePoolWithTag returns nothing, use 1 and on")
                            for line in lines_of(out, "note")), out)
        # Aimed at a device and an offset: the arming names the function firmware numbered, and
        # the story shows the one transfer the fault struck.
        code, out, err = run("--fail", "config-read@slot 1#0x0b")
        self.assertEqual(code, 0, err)
        notes = lines_of(out, "note")
        self.assertTrue(any("uses for slot 1 (01:01), transfers covering offset 0x0b" in n
                            for n in notes), notes)
        self.assertEqual([n for n in notes if n.startswith("fault struck")],
                         ["fault struck: configuration transfer, at 01:01.0, read of 1 byte at "
                          "offset 0x0b"])


# Two power requests at once: schedules with decisions.
TWO_POWER_REQUESTS = scenario_file('''name = "two devices to D3 at once"
[[event]]
at = "100ms"
power = "D3"
device = "01.0"
[[event]]
at = "100ms"
power = "D3"
device = "02.0"
''')


class Processors(unittest.TestCase):
    def test_one_processor_is_the_plain_run_and_two_mark_every_line(self):
        _, plain, _ = run("--trace-level", "4")
        code, one, err = run("--trace-level", "4", "--cpus", "1")
        self.assertEqual((code, one), (0, plain), err)
        code, two, err = run("--trace-level", "4", "--cpus", "2")
        self.assertEqual(code, 0, err)
        story = [line for line in two.splitlines() if line.startswith("[cpu")]
        self.assertTrue(story)
        self.assertTrue(all(re.match(r"\[cpu[01] (pnp|power#\d|dpc)\] ", line) for line in story))
        unmarked = "\n".join(re.sub(r"^\[cpu\d+ [^]]*\] ", "", line) for line in two.splitlines())
        self.assertEqual(unmarked + "\n", plain)
        # Another driver's thread needs a second processor; one processor says it left it out.
        client = scenario_file('name = "c"\n[[client]]\nat = "0ms"\nscan = true\nbuses = 2\n')
        code, _, err = run("--scenario", client)
        self.assertEqual(code, 0, err)
        self.assertIn("1 configuration client runs only on two or more processors", err)

    def test_exploration_counts_its_schedules_and_shards_add_up(self):
        # The built-in scenario runs one thread at a time: one schedule, which runs once.
        code, out, err = run("--explore", "random", "--schedules", "3")
        self.assertEqual(code, 0, err)
        self.assertIn("1 schedule run; complete: every schedule was run; 0 findings", out)
        code, out, err = run("--explore", "bounded", "--preemptions", "2")
        self.assertEqual(code, 0, err)
        self.assertIn("complete: every schedule within the bound was run", out)
        counts = []
        for shard in ("1/2", "2/2"):
            code, out, err = run("--scenario", TWO_POWER_REQUESTS, "--explore", "pct",
                                 "--schedules", "3", "--shard", shard)
            self.assertEqual(code, 0, err)
            counts.append(int(re.search(r"(\d+) schedules? run", out).group(1)))
        self.assertEqual(sum(counts), 3)

    def test_four_shards_through_gnu_parallel_merge_to_the_whole(self):
        explore = ["--scenario", TWO_POWER_REQUESTS, "--explore", "bounded", "--preemptions", "2",
                   "--json"]
        code, out, err = run(*explore)
        self.assertIn(code, (0, 1), err)
        whole = json.loads(out.splitlines()[-1])
        with tempfile.TemporaryDirectory() as folder:
            shards = subprocess.run(
                ["parallel", "-j", "2", "--results", folder + "/{}/", hotpsim_cli.HOTPSIM,
                 *explore, "--shard", "{}/4", ":::", "1", "2", "3", "4"],
                capture_output=True, text=True, timeout=300)
            self.assertIn(shards.returncode, (0, 1, 2, 3, 4), shards.stderr)
            files = [os.path.join(folder, str(k), "stdout") for k in (1, 2, 3, 4)]
            counts = []
            for name in files:
                with open(name, encoding="utf-8") as f:
                    counts.append(json.loads(f.read().splitlines()[-1])["schedules"])
            self.assertTrue(all(counts), counts)
            code, out, err = run("merge", "--json", *files)
            self.assertEqual(code, 1 if whole["findings"] else 0, err)
            merged = json.loads(out)
            # A bounded shard numbers the schedules it ran in its own order.
            for verdict in (merged, whole):
                for finding in verdict["findings"]:
                    del finding["schedule"]
            self.assertEqual(merged, whole)
            # Three of the four: incomplete, and said so.
            code, out, err = run("merge", *files[:3])
            self.assertIn("incomplete: no line for shard 4 of 4", err)
            self.assertNotIn("complete: every", out)
            code, _, err = run("merge", files[0], files[0])
            self.assertEqual(code, 2)
            self.assertIn("shard 1 is given twice", err)


if __name__ == "__main__":
    hotpsim_cli.main()
