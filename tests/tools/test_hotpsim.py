"""hotpsim as a user runs it: options, trace output at each level, exit status."""
import re
import subprocess
import sys
import unittest

HOTPSIM = None


def run(*arguments):
    result = subprocess.run([HOTPSIM, *arguments], capture_output=True, text=True, timeout=60)
    return result.returncode, result.stdout, result.stderr


def traces(output):
    return [line.strip()[len("trace"):].strip() for line in output.splitlines()
            if line.strip().startswith("trace ")]


class HotpsimTest(unittest.TestCase):
    def test_level_four_shows_the_driver_joining_the_bus_stack(self):
        code, out, err = run("--trace-level", "4")
        self.assertEqual(code, 0, err)
        lines = traces(out)
        self.assertRegex(lines[0], r"^HotpAddDevice\(\) begins with DriverObject = [0-9a-f]{8} "
                                   r"and PDO = [0-9a-f]{8}$")
        attached = re.match(r"^HotpAddDevice - BusFilter ([0-9a-f]+) attached to PDO ([0-9a-f]+) "
                            r"\(Immediate ([0-9a-f]+)\)$", lines[1])
        self.assertIsNotNone(attached, lines[1])
        self.assertEqual(attached.group(2), attached.group(3))
        self.assertIn("HotpBusDispatchPnp: IRP_MN_QUERY_RESOURCES to %08x" % int(attached.group(1), 16),
                      lines)
        self.assertIn("verifier  clean", out)

    def test_levels_gate_the_trace(self):
        counts = {}
        for level in ("0", "3", "4"):
            code, out, err = run("--trace-level", level)
            self.assertEqual(code, 0, err)
            counts[level] = traces(out)
        self.assertEqual(counts["0"], [])
        self.assertTrue(all(line.startswith("HotpBusDispatchPnp: DevObj") for line in counts["3"]))
        self.assertGreater(len(counts["4"]), len(counts["3"]))

    def test_break_level_records_breakpoints_without_printing(self):
        code, out, err = run("--break-level", "4")
        self.assertEqual(code, 0, err)
        self.assertEqual(traces(out), [])
        self.assertGreater(out.count("break   DbgBreakPoint"), 0)

    def test_bad_option_is_refused(self):
        code, _, err = run("--trace-level", "many")
        self.assertNotEqual(code, 0)
        self.assertIn("trace-level", err)


if __name__ == "__main__":
    HOTPSIM = sys.argv.pop(1)
    unittest.main()
