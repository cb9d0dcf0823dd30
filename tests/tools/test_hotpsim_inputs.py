"""hotpsim given input a user could give by mistake: every case ends with exit code 2 and a
message on stderr; most name the file (and its line, where one applies) or the option on their
first line and are refused before the machine runs."""
import os
import re
import tempfile
import time
import unittest

import hotpsim_cli
from hotpsim_cli import run


# Two power requests at once: a scenario with decisions to take.
TWO_AT_ONCE = (b'name = "two at once"\n[[event]]\nat = "1ms"\npower = "D3"\ndevice = "01.0"\n'
               b'[[event]]\nat = "1ms"\npower = "D3"\ndevice = "02.0"\n')


class BadInput(unittest.TestCase):
    def test_every_bad_input_is_refused_with_exit_2_and_a_located_message(self):
        with tempfile.TemporaryDirectory() as folder:
            def write(name, data):
                path = os.path.join(folder, name)
                with open(path, "wb") as file:
                    file.write(data)
                return path

            def located(named, location, message):
                return "^" + re.escape(named + location) + ".*" + re.escape(message)

            fifo = os.path.join(folder, "fifo.toml")
            os.mkfifo(fifo)
            dangling = os.path.join(folder, "dangling.toml")
            os.symlink(os.path.join(folder, "nothing"), dangling)
            broken = write("broken.toml", b"name = \"broken\"\n[[root.function]]\ndevice = 40\n")
            # (what, arguments, a pattern the first line of the error output matches, whether
            # nothing goes to standard output, whether it is refused at once)
            cases = []
            for what, data, location, message in [
                ("table header of a table header", b"[[[1]]]", ":1: ", "expected a key, saw '['"),
                ("header without a key", b"[=", ":1: ", "expected a key, saw '='"),
                ("NUL in a header", b"[\0", ":1: ", "expected a key, saw '\\u0000'"),
                ("brace closing an array", b"a=[1,}", ":1: ", "expected a value, saw '}'"),
                ("Cyrillic letter", b"\xd0\x85", ":1: ",
                 "expected keys, tables, whitespace or comments, saw '\u0405'"),
            ]:
                path = write(what.replace(" ", "_") + ".toml", data)
                cases.append((what, ["--machine", path], located(path, location, message), False, True))
            for what, data, message in [
                ("removal of a bare function", b'[[event]]\nremove = ".7"\n', ":2: '.7'"),
                ("slot of a bare function", b'[[event]]\ninsert = "network card"\nslot = ".3"\n',
                 ":3: '.3'"),
            ]:
                path = write(what.replace(" ", "_") + ".toml", data)
                cases.append((what, ["--scenario", path],
                              located(path, message, ": a function number needs a device or a slot "
                                                     "label before it"), False, True))
            for what, arguments, message in [
                ("FIFO", ["--machine", fifo], "cannot read: a FIFO, not a file"),
                ("endless device", ["--scenario", "/dev/zero"],
                 "cannot read: a character device, not a file"),
                ("directory", ["--machine", folder], "cannot read: a directory, not a file"),
                ("dangling link", ["--scenario", dangling], "cannot read: a symbolic link to nothing"),
            ]:
                cases.append((what, arguments, located(arguments[1], ": ", message), False, True))
            for what, option, value in [("trace level out of range", "--trace-level", "99"),
                                        ("break level out of range", "--break-level", "5")]:
                cases.append((what, [option, value],
                              located("hotpsim", ": ", f"{option} {value}: out of range; trace "
                                                       "levels are 0 (off) to 4"), False, True))
            cases += [
                ("full device as output", ["--lspci-dump", "/dev/full", "--no-config-writes"],
                 located("/dev/full", ": ", "cannot write: No space left on device"), False, False),
                ("full device as page", ["--html", "/dev/full", "--no-config-writes"],
                 located("/dev/full", ": ", "cannot write: "), False, False),
                ("malformed machine file", ["--machine", broken], "^" + re.escape(broken) + r":\d+: ",
                 True, False),
                ("driver that is not there", ["--driver", "/nonexistent/hotpflt.so"],
                 re.escape("--driver: File does not exist: /nonexistent/hotpflt.so"), True, True),
                ("unknown option", ["--frobnicate"], "", False, False),
                ("value that is no number", ["--trace-level", "many"], "trace-level", False, False),
                ("extra argument", ["surplus"], "", False, False),
                ("unknown view", ["--view", "tree"], "", False, False),
                ("view and json together", ["--view", "devnode", "--json"], "", False, False),
                ("missing machine file", ["--machine", "/nonexistent/m.toml"], "", False, False),
                ("option without its value", ["--scenario"], "", False, False),
            ]
            for bad in ("disk", "pool:0", "pool:x", "pool:", "pool@slot 1", "config-read@slot 9",
                        "lower-fail#3", "config@slot 1#0x100"):
                cases.append((f"--fail {bad}", ["--fail", bad], "--fail", True, False))
            # Schedule tokens, shards and processor options that make no sense.
            for arguments in (["--replay", "2w:9@1,3@0"], ["--replay", "x"], ["--shard", "3/2"],
                              ["--shard", "0/4"], ["--explore", "random", "--replay", "2w:"],
                              ["--pnp-contract", "nt4"], ["--cpus", "0"]):
                cases.append((" ".join(arguments), arguments, "", True, False))
            # Options that parse but do not fit: each refused with the reason, nothing played.
            for arguments, message in (
                    (["--replay", "2w:999999@1"], "is past the schedule's end"),
                    (["--replay", "2w:0@77", "--scenario", write("two.toml", TWO_AT_ONCE)],
                     "thread 77 cannot run at decision 0"),
                    (["--replay", "2w:", "--cpus", "3"], "--cpus 3 says otherwise"),
                    (["--replay", "2d:", "--pnp-contract", "w2k"], "--pnp-contract w2k says otherwise"),
                    (["--pnp-contract", "documented"], "it needs --cpus 2 or more"),
                    (["--explore", "random", "--cpus", "1"], "--cpus 1 has no room"),
                    (["--shard", "1/2"], "--shard belongs to an exploration"),
                    (["--seed", "3"], "--seed belongs to an exploration"),
                    (["--explore", "random", "--shard", "4294967297/4"], "--shard 4294967297/4: K/N"),
                    (["--explore", "random", "--view", "devnode"], "--view shows the machine of one run"),
                    (["--explore", "random", "--lspci-dump", os.path.join(folder, "dump")],
                     "--lspci-dump shows the machine of one run")):
                cases.append((" ".join(arguments), arguments, re.escape(message), True, False))
            for what, arguments, pattern, quiet, at_once in cases:
                with self.subTest(what):
                    started = time.monotonic()
                    code, out, err = run(*arguments, timeout=20)
                    elapsed = time.monotonic() - started
                    self.assertEqual(code, 2, err)
                    self.assertNotEqual(err, "")
                    if pattern:
                        # The address sanitizer's note on fibers comes first where a run began.
                        said = [line for line in err.splitlines() if "ASan doesn't fully" not in line]
                        self.assertRegex(said[0], pattern)
                    if quiet:
                        self.assertEqual(out, "")
                    if at_once:
                        self.assertLess(elapsed, 2.0)  # refused before the machine runs

    def test_options_given_are_honoured(self):
        # A number of schedules given to a bounded exploration is kept to, as with the others.
        scenario = hotpsim_cli.scenario_file(TWO_AT_ONCE.decode())
        code, out, err = run("--scenario", scenario, "--explore", "bounded", "--schedules", "2")
        self.assertEqual(code, 0, err)
        self.assertIn("2 schedules run; incomplete: stopped at --schedules", out)


if __name__ == "__main__":
    hotpsim_cli.main()
