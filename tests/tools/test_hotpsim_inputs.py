"""hotpsim given input a user could give by mistake: every case ends at once with exit code 2 and
one line that names the file (and its line, where one applies) or the option."""
import os
import subprocess
import sys
import tempfile
import time
import unittest

HOTPSIM = None


class BadInput(unittest.TestCase):
    def test_every_bad_input_is_refused_with_exit_2_and_a_located_message(self):
        with tempfile.TemporaryDirectory() as folder:
            def write(name, data):
                path = os.path.join(folder, name)
                with open(path, "wb") as file:
                    file.write(data)
                return path

            fifo = os.path.join(folder, "fifo.toml")
            os.mkfifo(fifo)
            dangling = os.path.join(folder, "dangling.toml")
            os.symlink(os.path.join(folder, "nothing"), dangling)
            # (what, arguments, what follows the file or "hotpsim" at the start of the first line
            # of the error output, part of the message)
            cases = [
                ("table header of a table header", ["--machine", write("a.toml", b"[[[1]]]")],
                 ":1: ", "expected a key, saw '['"),
                ("header without a key", ["--machine", write("b.toml", b"[=")],
                 ":1: ", "expected a key, saw '='"),
                ("NUL in a header", ["--machine", write("c.toml", b"[\0")],
                 ":1: ", "expected a key, saw '\\u0000'"),
                ("brace closing an array", ["--machine", write("d.toml", b"a=[1,}")],
                 ":1: ", "expected a value, saw '}'"),
                ("Cyrillic letter", ["--machine", write("e.toml", b"\xd0\x85")],
                 ":1: ", "expected keys, tables, whitespace or comments, saw '\u0405'"),
                ("removal of a bare function",
                 ["--scenario", write("f.toml", b'[[event]]\nremove = ".7"\n')],
                 ":2: ", "'.7': a function number needs a device or a slot label before it"),
                ("slot of a bare function",
                 ["--scenario", write("g.toml", b'[[event]]\ninsert = "network card"\nslot = ".3"\n')],
                 ":3: ", "'.3': a function number needs a device or a slot label before it"),
                ("FIFO", ["--machine", fifo], ": ", "cannot read: a FIFO, not a file"),
                ("endless device", ["--scenario", "/dev/zero"],
                 ": ", "cannot read: a character device, not a file"),
                ("directory", ["--machine", folder], ": ", "cannot read: a directory, not a file"),
                ("dangling link", ["--scenario", dangling],
                 ": ", "cannot read: a symbolic link to nothing"),
                ("trace level out of range", ["--trace-level", "99"],
                 ": ", "--trace-level 99: out of range; trace levels are 0 (off) to 4"),
                ("break level out of range", ["--break-level", "5"],
                 ": ", "--break-level 5: out of range; trace levels are 0 (off) to 4"),
                ("full device as output", ["--lspci-dump", "/dev/full", "--no-config-writes"],
                 ": ", "cannot write: No space left on device"),
            ]
            for what, arguments, location, message in cases:
                with self.subTest(what):
                    started = time.monotonic()
                    result = subprocess.run([HOTPSIM, *arguments], capture_output=True,
                                            timeout=20)
                    elapsed = time.monotonic() - started
                    self.assertEqual(result.returncode, 2, result.stderr)
                    first = result.stderr.decode("utf-8", "replace").splitlines()[0]
                    named = "hotpsim" if arguments[0].endswith("-level") else arguments[1]
                    self.assertTrue(first.startswith(named + location), first)
                    self.assertIn(message, first)
                    if arguments[0] != "--lspci-dump":
                        self.assertLess(elapsed, 2.0)  # refused before the machine runs


if __name__ == "__main__":
    HOTPSIM = sys.argv.pop(1)
    unittest.main()
