"""Addresses hotpsim shows: kernel-looking, the same from run to run and with --json, and never
shared by two live objects."""
import json
import re
import unittest

import hotpsim_cli

# An address of the stand-in's kernel: eight hexadecimal digits from 81000000 upward.
ADDRESS = re.compile(r"\b8[1-9a-f][0-9a-f]{6}\b")
HEX8 = re.compile(r"\b[0-9a-f]{8}\b")
# A stack entry of the final tree; the driver's own objects carry their role after the address.
STACK_ENTRY = re.compile(r"(\\Driver\\\w+)\(([0-9a-f]{8})(?:, [a-z ]+)?\)")


def run(*arguments):
    return hotpsim_cli.run("--trace-level", "4", *arguments, timeout=300)


def texts_of_json(out):
    """Every string value of every --json line, in order."""
    texts = []

    def walk(value):
        if isinstance(value, str):
            texts.append(value)
        elif isinstance(value, dict):
            for item in value.values():
                walk(item)
        elif isinstance(value, list):
            for item in value:
                walk(item)

    for line in out.splitlines():
        if not line.strip():
            continue
        event = json.loads(line)
        if event.get("kind") == "device":
            # The final tree's stacks as the story writes them, top first.
            texts.append("stack: " + " ".join("%s(%s)" % (o["driver"], o["address"])
                                               for o in event["stack"]))
            continue
        walk(event)
    return "\n".join(texts)


class Addresses(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.runs = {}
        for name, arguments in (("plain", ()), ("again", ()), ("json", ("--json",)),
                                ("pend-all", ("--pend-all",)), ("pend-all again", ("--pend-all",))):
            code, out, err = run(*arguments)
            assert code == 0, f"hotpsim {' '.join(arguments)} exited {code}: {err}"
            cls.runs[name] = texts_of_json(out) if name == "json" else out

    def addresses(self, name):
        """Every pointer-sized value of the driver's trace lines and of the device stacks."""
        found = []
        for line in self.runs[name].splitlines():
            if "Hotp" in line or STACK_ENTRY.search(line):
                found += HEX8.findall(line)
        return found

    def test_addresses_look_like_an_i386_kernels(self):
        stacks = STACK_ENTRY.findall(self.runs["plain"])
        self.assertTrue(stacks)
        for driver, address in stacks:
            self.assertRegex(address, ADDRESS, driver)
        traced = [line for line in self.runs["plain"].splitlines() if "attached to PDO" in line]
        self.assertTrue(traced)
        for line in traced:
            self.assertEqual(len(ADDRESS.findall(line)), 3, line)

    def test_every_run_shows_the_same_addresses(self):
        for first, second in (("plain", "again"), ("plain", "json"),
                              ("pend-all", "pend-all again")):
            with self.subTest(runs=f"{first} / {second}"):
                self.assertTrue(self.addresses(first))
                self.assertEqual(self.addresses(first), self.addresses(second))

    def test_no_two_live_objects_share_an_address(self):
        # The final tree lists every device object alive at the end, each once.
        stacks = STACK_ENTRY.findall(self.runs["plain"])
        addresses = [address for _, address in stacks]
        self.assertTrue(addresses)
        self.assertEqual(len(addresses), len(set(addresses)), stacks)


if __name__ == "__main__":
    hotpsim_cli.main()
