"""hotpsim import and --replug on a hand-made snapshot of a small PCI Express machine.

The snapshot is what `tar cf pci.tar /sys/bus/pci/devices/*/config /sys/bus/pci/devices/*/resource`
makes on Linux: per function a 256- or 4096-byte config file and a resource file. The machine has
a device on the root bus, an empty bridge, and a root port with a card behind it whose bridge
leads to a multi-function device (functions 0 and 2, with a 64-bit prefetchable BAR).
"""
import io
import json
import os
import struct
import tarfile
import tempfile
import unittest

import hotpsim_cli
from hotpsim_cli import run


def header(vendor, device, class_code, header_type, command, size=256):
    config = bytearray(size)
    struct.pack_into("<HHHH", config, 0, vendor, device, command, 0)
    struct.pack_into("<I", config, 8, class_code << 8)
    config[0x0C] = 0x10
    config[0x0E] = header_type
    return config


def bridge(vendor, device, buses, io_window, memory, prefetchable, command, size=256):
    """A type 1 header: buses (primary, secondary, subordinate); windows as (base, limit) or
    None for closed."""
    config = header(vendor, device, 0x060400, 0x01, command, size)
    config[0x18:0x1B] = bytes(buses)
    io_base, io_limit = io_window or (0xF000, 0x0FFF)
    config[0x1C] = (io_base >> 8) & 0xF0
    config[0x1D] = (io_limit >> 8) & 0xF0
    mem_base, mem_limit = memory or (0xFFF00000, 0x000FFFFF)
    struct.pack_into("<HH", config, 0x20, (mem_base >> 16) & 0xFFF0, (mem_limit >> 16) & 0xFFF0)
    pref_base, pref_limit = prefetchable or (0xFFF00000, 0x000FFFFF)
    struct.pack_into("<HH", config, 0x24, ((pref_base >> 16) & 0xFFF0) | 1,
                     ((pref_limit >> 16) & 0xFFF0) | 1)
    return config


def resource(bars, rom=None, windows=None):
    """bars: {index: (start, size, flags)}; windows: the bridge's I/O, memory and prefetchable."""
    lines = [(0, 0, 0)] * 7
    for index, (start, size, flags) in bars.items():
        lines[index] = (start, start + size - 1, flags)
    if rom:
        lines[6] = (0, rom - 1, 0x200)
    if windows is not None:
        lines += [w if w else (0, 0, f) for w, f in zip(windows, (0x100, 0x200, 0x2200))] + [(0, 0, 0)]
    return "".join(f"0x{a:016x} 0x{b:016x} 0x{c:016x}\n" for a, b, c in lines)


IO, MEM, PREF, MEM64 = 0x100, 0x200, 0x2000, 0x100000


def snapshot_functions():
    functions = {}
    functions["0000:00:00.0"] = (header(0x8086, 0x29C0, 0x060000, 0, 0x0006), resource({}))
    display = header(0x1234, 0x1111, 0x030000, 0, 0x0007)
    struct.pack_into("<II", display, 0x10, 0xE0000008, 0xF7000000)
    functions["0000:00:02.0"] = (display, resource({0: (0xE0000000, 16 << 20, MEM | PREF),
                                                     1: (0xF7000000, 64 << 10, MEM)}, rom=64 << 10))
    functions["0000:00:1c.0"] = (
        bridge(0x8086, 0xA110, (0, 1, 2), (0x2000, 0x3FFF), (0xF0000000, 0xF03FFFFF),
               (0x80000000, 0x87FFFFFF), 0x0007, size=4096),
        resource({}, windows=[(0x2000, 0x3FFF, IO), (0xF0000000, 0xF03FFFFF, MEM),
                              (0x80000000, 0x87FFFFFF, MEM | PREF | MEM64)]))
    functions["0000:01:00.0"] = (
        bridge(0x10B5, 0x8112, (1, 2, 2), (0x2000, 0x3FFF), (0xF0000000, 0xF03FFFFF),
               (0x80000000, 0x87FFFFFF), 0x0007, size=4096),
        resource({}, windows=[(0x2000, 0x3FFF, IO), (0xF0000000, 0xF03FFFFF, MEM),
                              (0x80000000, 0x87FFFFFF, MEM | PREF | MEM64)]))
    nic = header(0x1AF4, 0x1000, 0x020000, 0x80, 0x0007, size=4096)
    struct.pack_into("<IIII", nic, 0x10, 0x2001, 0xF0000000, 0x8000000C, 0)
    functions["0000:02:00.0"] = (nic, resource({0: (0x2000, 32, IO), 1: (0xF0000000, 4096, MEM),
                                               2: (0x80000000, 64 << 20, MEM | PREF | MEM64)}))
    usb = header(0x1AF4, 0x1001, 0x0C0330, 0x00, 0x0006, size=4096)
    struct.pack_into("<I", usb, 0x10, 0xF0001000)
    functions["0000:02:00.2"] = (usb, resource({0: (0xF0001000, 4096, MEM)}))
    functions["0000:00:1d.0"] = (bridge(0x10B5, 0x8113, (0, 3, 3), None, None, None, 0x0000,
                                        size=4096),
                                 resource({}, windows=[None, None, None]))
    return functions


def write_tar(path, functions, spoil=None):
    with tarfile.open(path, "w", format=tarfile.USTAR_FORMAT) as tar:
        for name, (config, text) in functions.items():
            files = {"config": bytes(config), "resource": text.encode()}
            if spoil:
                files = spoil(name, files)
            for leaf, data in files.items():
                info = tarfile.TarInfo(f"sys/bus/pci/devices/{name}/{leaf}")
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))


class Import(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.tar = os.path.join(self.folder.name, "pci.tar")
        self.machine = os.path.join(self.folder.name, "machine.toml")
        write_tar(self.tar, snapshot_functions())

    def tearDown(self):
        self.folder.cleanup()

    def test_imported_machine_boots_as_captured_and_replays_a_hot_add(self):
        code, _, err = run("import", self.tar, "-o", self.machine)
        self.assertEqual(code, 0, err)
        self.assertIn("PCI Express", err)  # said of the 4096-byte functions
        code, out, err = run("--machine", self.machine, "--scenario", self.empty_scenario(),
                             "--no-config-writes")
        self.assertEqual(code, 0, err + out)
        tree = out.split("== final state", 1)[1]
        self.assertNotIn("not started", tree)
        self.assertIn("mem  f7000000-f700ffff", tree)  # where firmware had put it

        code, out, err = run("--machine", self.machine, "--replug", "01:00.0", "--no-config-writes")
        self.assertEqual(code, 0, err + out)
        report = out.split("== replug 01:00.0", 1)[1].split("\n== ", 1)[0]
        self.assertIn("bridge 01:00.0", report)
        self.assertIn("captured:  io 00002000-00003fff (8K)", report)
        self.assertIn("all started", report)
        self.assertNotIn("not started", report)

        code, out, err = run("--machine", self.machine, "--replug", "01:00.0", "--json")
        self.assertEqual(code, 0, err)
        for line in out.splitlines():
            json.loads(line)

    def test_malformed_snapshots_exit_2_naming_the_file(self):
        def short_config(name, files):
            if name == "0000:02:00.0":
                files["config"] = files["config"][:100]
            return files

        def no_resource(name, files):
            if name == "0000:00:02.0":
                del files["resource"]
            return files

        cases = [
            (short_config, "0000:02:00.0/config: 100 bytes"),
            (no_resource, "0000:00:02.0 has no resource file"),
        ]
        for spoil, message in cases:
            with self.subTest(message=message):
                write_tar(self.tar, snapshot_functions(), spoil)
                code, out, err = run("import", self.tar)
                self.assertEqual(code, 2)
                self.assertEqual(out, "")
                self.assertIn(self.tar, err)
                self.assertIn(message, err)
        with open(self.tar, "r+b") as tar:
            tar.truncate(700)
        code, _, err = run("import", self.tar)
        self.assertEqual(code, 2)
        self.assertIn(self.tar + ": truncated", err)

    def test_replug_needs_a_function_of_the_machine(self):
        code, _, err = run("import", self.tar, "-o", self.machine)
        self.assertEqual(code, 0, err)
        code, _, err = run("--machine", self.machine, "--replug", "05:00.0")
        self.assertEqual(code, 2)
        self.assertIn("--replug 05:00.0", err)

    def test_a_real_virtual_machine_imports_without_editing(self):
        # tar cf of /sys/bus/pci/devices/*/{config,resource} on a small virtual machine: a
        # PCI Express host bridge and virtio functions whose 64-bit BARs lie above 4G (the tar
        # pads the shrunken resource files with zeros, as it does on every Linux machine).
        snapshot = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "vm-snapshot.tar")
        code, _, err = run("import", snapshot, "-o", self.machine)
        self.assertEqual(code, 0, err)
        # A machine file alone plays boot only; the built-in scenario is not applied to it.
        code, out, err = run("--machine", self.machine, "--no-config-writes")
        self.assertEqual(code, 0, err + out)
        self.assertIn("boot only (no --scenario for this machine file)", out)
        tree = out.split("== final state", 1)[1]
        self.assertNotIn("not started", tree)
        self.assertIn("mem  4000100000-400017ffff", tree)  # the network function, as found
        code, out, err = run("--machine", self.machine, "--replug", "00:03.0", "--no-config-writes")
        self.assertEqual(code, 0, err + out)
        report = out.split("== replug 00:03.0", 1)[1].split("\n== ", 1)[0]
        self.assertIn("function 00:03.0 (now 00:03.0): started", report)
        self.assertIn("captured:  memory 4000100000-400017ffff", report)

    def test_every_published_dump_imports_to_a_file_hotpsim_boots_as_it_stands(self):
        # tests/data/lspci: the machine file `import` writes is taken by --machine unedited, and
        # import's help gives import's exit statuses.
        dumps = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "lspci")
        for name in sorted(n for n in os.listdir(dumps) if n.endswith(".txt")):
            with self.subTest(dump=name):
                code, _, err = run("import", os.path.join(dumps, name), "-o", self.machine)
                self.assertEqual(code, 0, err)
                code, out, err = run("--machine", self.machine, "--view", "devnode")
                self.assertEqual(code, 0, err + out)
        code, out, _ = run("import", "--help")
        self.assertEqual(code, 0)
        self.assertIn("0  the machine file was written", out)
        self.assertNotIn("the scenario played", out)

    def empty_scenario(self):
        path = os.path.join(self.folder.name, "none.toml")
        with open(path, "w") as file:
            file.write('name = "boot only"\n')
        return path


if __name__ == "__main__":
    hotpsim_cli.main()
