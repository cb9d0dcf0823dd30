"""hotpsim --driver with the shipped kernel image, as a user runs it in the i386 build.

The built-in scenario played with the image shows what it shows with the host module (object
addresses aside, consistently paired); copies of the image with one fault planted are refused
with exit code 2 and a message naming the fault.

Usage: test_hotpsim_image.py HOTPSIM IMAGE
"""
import re
import sys
import tempfile
import unittest
from pathlib import Path

import pefile

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
import hotpsim_cli  # noqa: E402

IMAGE = None


def run(*arguments):
    return hotpsim_cli.run(*arguments, timeout=300)


ADDRESS = re.compile(r"^(0x)?[0-9a-f]{8}$")
WORD = re.compile(r"[0-9A-Za-z]+|[^0-9A-Za-z]")


def differences(module_output, image_output):
    """Where the two outputs differ other than by consistently paired object addresses."""
    a_lines, b_lines = module_output.splitlines(), image_output.splitlines()
    if len(a_lines) != len(b_lines):
        return [f"{len(a_lines)} lines against {len(b_lines)}"]
    forward, backward, found = {}, {}, []
    for number, (a, b) in enumerate(zip(a_lines, b_lines), 1):
        if a.lstrip().startswith(("config ", "busnum ")):
            if a != b:
                found.append(f"line {number}: {a!r} | {b!r}")
            continue
        wa, wb = WORD.findall(a), WORD.findall(b)
        if len(wa) != len(wb):
            found.append(f"line {number}: {a!r} | {b!r}")
            continue
        for x, y in zip(wa, wb):
            if x == y and not ADDRESS.match(x):
                continue
            if not (ADDRESS.match(x) and ADDRESS.match(y)):
                found.append(f"line {number}: {a!r} | {b!r}")
                break
            x, y = x.removeprefix("0x"), y.removeprefix("0x")
            if forward.setdefault(x, y) != y or backward.setdefault(y, x) != x:
                found.append(f"line {number}: {x} and {y} do not pair throughout")
                break
    return found


class SameOutput(unittest.TestCase):
    def test_comparison_sees_a_changed_write_and_a_swapped_object(self):
        base = "trace A 5838e200 B 5838ae30\n  config    write 0x10 = 0x80000000\ntrace C 5838e200\n"
        self.assertEqual(differences(base, base.replace("5838e200", "58041000")), [])
        self.assertTrue(differences(base, base.replace("0x80000000", "0x90000000")))
        self.assertTrue(differences(base, base.replace("C 5838e200", "C 5838ae30")))
        self.assertTrue(differences(base, base + "trace D\n"))

    def test_built_in_scenario_at_every_trace_level(self):
        for level in ("0", "4"):
            with self.subTest(trace_level=level):
                code, module, err = run("--trace-level", level, "--break-level", "1")
                self.assertEqual(code, 0, err)
                code, image, err = run("--trace-level", level, "--break-level", "1",
                                       "--driver", str(IMAGE))
                self.assertEqual(code, 0, err)
                self.assertIn("clean: no platform rule broken, nothing leaked", image)
                self.assertEqual(differences(module, image), [])

    def test_pend_all(self):
        code, module, err = run("--trace-level", "4", "--pend-all")
        self.assertEqual(code, 0, err)
        code, image, err = run("--trace-level", "4", "--pend-all", "--driver", str(IMAGE))
        self.assertEqual(code, 0, err)
        self.assertEqual(differences(module, image), [])


def plant(pe, fault):
    """A copy of the image with one fault planted, as bytes."""
    data = bytearray(pe.__data__)
    fix_checksum = True
    if fault == "wrong machine":
        pe.FILE_HEADER.Machine = 0x8664
        data[:] = pe.write()
    elif fault == "import renamed":
        text = data.find(b"IoDeleteDevice\0", pe.get_section_by_rva(
            pe.DIRECTORY_ENTRY_IMPORT[0].struct.Name).PointerToRawData)
        data[text + 2] = ord("X")
    elif fault == "resource types share a directory":
        root = pe.get_section_by_rva(
            pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress).PointerToRawData
        data[root + 28:root + 32] = data[root + 20:root + 24]
    elif fault == "resources cover the image twice":
        for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
            entry = kind.directory.entries[0].directory.entries[0].data.struct
            entry.OffsetToData, entry.Size = 0, pe.OPTIONAL_HEADER.SizeOfImage
        data[:] = pe.write()
    elif fault == "truncated":
        del data[len(data) * 3 // 4:]
        fix_checksum = False
    elif fault == "bad checksum":
        data[pe.sections[0].PointerToRawData + 8] ^= 0xFF
        fix_checksum = False
    if fix_checksum:
        fixed = pefile.PE(data=bytes(data))
        fixed.OPTIONAL_HEADER.CheckSum = fixed.generate_checksum()
        data = bytearray(fixed.write())
    return bytes(data)


class RefusedImages(unittest.TestCase):
    CASES = [
        ("wrong machine", "machine type 0x8664, not i386"),
        ("import renamed", "imports 'IoXeleteDevice', which the kernel does not export"),
        ("truncated", "truncated"),
        ("resource types share a directory", "is reached twice"),
        ("resources cover the image twice", "resources of more bytes than the image's 0x"),
        ("bad checksum", "checksum"),
    ]

    def test_refused_with_exit_code_2_and_the_fault_named(self):
        for fault, message in self.CASES:
            with self.subTest(fault=fault), tempfile.TemporaryDirectory() as directory:
                copy = Path(directory) / "hotpflt.sys"
                copy.write_bytes(plant(pefile.PE(str(IMAGE)), fault))
                code, out, err = run("--driver", str(copy))
                self.assertEqual(code, 2, out + err)
                self.assertIn(message, err)
                self.assertIn(str(copy), err)
                self.assertNotIn("== boot", out, "a refused image must not start a machine")


if __name__ == "__main__":
    IMAGE = Path(sys.argv.pop(2))
    hotpsim_cli.main()
