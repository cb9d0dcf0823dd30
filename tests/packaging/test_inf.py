#!/usr/bin/env python3
"""packaging/hotpflt.inf as Windows 2000's setup would read it: every section it references
exists, every %string% resolves, and what it installs is a boot-start upper filter of the PCI
root bus with its image registered as the event source's message file."""

import os
import re
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
INF = Path(os.environ.get("HOTP_INF", ROOT / "packaging/hotpflt.inf"))

# Directives whose values name sections of this INF.
SECTION_LISTS = {"copyfiles", "addreg", "delreg", "delfiles", "renfiles", "updateinis",
                 "updateinifields", "ini2reg", "bitreg"}
# Sections setup reads by name rather than through a reference.
STANDARD = {"version", "manufacturer", "strings", "sourcedisksnames", "sourcedisksfiles",
            "destinationdirs"}
# Install-section decorations Windows 2000 tries, in order.
DECORATIONS = [".ntx86", ".nt", ""]

TOKEN = re.compile(r"%([^%]*)%")


def fields(value):
    """Comma-separated fields; quotes group, and a doubled quote inside stands for one."""
    out, current, quoted, i = [], "", False, 0
    while i < len(value):
        c = value[i]
        if c == '"':
            if quoted and value[i + 1:i + 2] == '"':
                current += '"'
                i += 1
            else:
                quoted = not quoted
        elif c == "," and not quoted:
            out.append(current.strip())
            current = ""
        else:
            current += c
        i += 1
    out.append(current.strip())
    return out


def strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


class Inf:
    """Sections (case-insensitive) of (key or None, raw value) lines."""

    def __init__(self, text):
        self.sections, self.lines = {}, []
        current = None
        for number, raw in enumerate(text.splitlines(), 1):
            line = strip_comment(raw).strip()
            if not line:
                continue
            header = re.fullmatch(r"\[([^\]]+)\]", line)
            if header:
                current = header.group(1).strip().lower()
                if current in self.sections:
                    raise AssertionError(f"line {number}: section [{current}] appears twice")
                self.sections[current] = []
                continue
            if current is None:
                raise AssertionError(f"line {number}: text before the first section")
            key, equals, value = line.partition("=")
            entry = (key.strip(), value.strip()) if equals else (None, line)
            self.sections[current].append(entry)
            self.lines.append((number, current, line))
        self.strings = {key.lower(): fields(value)[0]
                        for key, value in self.sections.get("strings", [])}

    def expand(self, text, strict=True):
        """Substitutes %strings%; %% is a literal %, %<number>% a directory ID left as is. An
        unknown string raises KeyError, or stays as written when not strict."""
        def one(match):
            token = match.group(1)
            if token == "" or token.isdigit():
                return match.group(0)
            if token.lower() not in self.strings:
                if strict:
                    raise KeyError(token)
                return match.group(0)
            return self.strings[token.lower()]
        return TOKEN.sub(one, text).replace("%%", "%")

    def values(self, section, key):
        return [self.expand(v) for k, v in self.sections.get(section.lower(), [])
                if k is not None and k.lower() == key.lower()]

    def value(self, section, key):
        found = self.values(section, key)
        if len(found) != 1:
            raise AssertionError(f"[{section}] has {len(found)} {key} entries, not one")
        return ",".join(fields(found[0]))

    def install_section(self, name):
        for decoration in DECORATIONS:
            if (name + decoration).lower() in self.sections:
                return (name + decoration).lower()
        return None

    def references(self):
        """(from, to) for every section named by another, starting at the manufacturers."""
        refs = []
        for _, value in self.sections.get("manufacturer", []):
            refs.append(("manufacturer", fields(self.expand(value, False))[0].lower()))
        for _, models in list(refs):
            for _, value in self.sections.get(models, []):
                install = fields(value)[0]
                decorated = self.install_section(install) or install.lower()
                refs.append((models, decorated))
                refs.append((decorated, decorated + ".services"))
                if decorated + ".hw" in self.sections:
                    refs.append((decorated, decorated + ".hw"))
        pending = [to for _, to in refs]
        seen = set()
        while pending:
            section = pending.pop()
            if section in seen or section not in self.sections:
                continue
            seen.add(section)
            for key, value in self.sections[section]:
                key = (key or "").lower()
                named = []
                if key in SECTION_LISTS:
                    named = [f for f in fields(self.expand(value, False))
                             if f and not f.startswith("@")]
                elif key == "addservice":
                    named = [f for f in fields(self.expand(value, False))[2:4] if f]
                for target in named:
                    refs.append((section, target.lower()))
                    pending.append(target.lower())
        for key, _ in self.sections.get("destinationdirs", []):
            if key.lower() != "defaultdestdir":
                refs.append(("destinationdirs", key.lower()))
        return refs


class InfTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.inf = Inf(INF.read_text(encoding="ascii"))

    def test_standard_sections_present(self):
        for section in STANDARD:
            self.assertIn(section, self.inf.sections, f"[{section}] is missing")
        self.assertEqual(self.inf.value("Version", "Signature"), "$WINDOWS NT$")

    def test_every_string_resolves(self):
        for number, section, line in self.inf.lines:
            if section == "strings":
                continue
            with self.subTest(line=number):
                try:
                    self.inf.expand(line)
                except KeyError as missing:
                    self.fail(f"line {number}: %{missing.args[0]}% is not in [Strings]")

    def test_every_referenced_section_exists(self):
        for source, target in self.inf.references():
            with self.subTest(reference=f"{source} -> {target}"):
                self.assertTrue(target in self.inf.sections, f"[{source}] names missing [{target}]")

    def test_every_section_is_referenced(self):
        reached = {to for _, to in self.inf.references()} | STANDARD
        orphans = sorted(set(self.inf.sections) - reached)
        self.assertEqual(orphans, [], "sections nothing refers to (misspelt references?)")

    def test_needs_comes_with_include(self):
        for section, entries in self.inf.sections.items():
            keys = {(k or "").lower() for k, _ in entries}
            if "needs" in keys:
                self.assertIn("include", keys, f"[{section}] has Needs without Include")

    def test_copied_files_have_a_source_and_destination(self):
        disks = {k for k, _ in self.inf.sections["sourcedisksnames"]}
        files = {k.lower(): fields(v)[0] for k, v in self.inf.sections["sourcedisksfiles"]}
        destinations = {k.lower() for k, _ in self.inf.sections["destinationdirs"]}
        for source, target in self.inf.references():
            if not any(k.lower() == "copyfiles" and target in
                       [f.lower() for f in fields(self.inf.expand(v, False))]
                       for k, v in self.inf.sections.get(source, []) if k):
                continue
            with self.subTest(copyfiles=target):
                self.assertTrue({target, "defaultdestdir"} & destinations,
                                f"[{target}] has no destination directory")
                for _, name in self.inf.sections[target]:
                    self.assertIn(name.lower(), files, f"{name} is not in [SourceDisksFiles]")
                    self.assertIn(files[name.lower()], disks, f"{name}'s disk is not named")


class InstallTest(unittest.TestCase):
    """What the INF installs."""

    @classmethod
    def setUpClass(cls):
        cls.inf = Inf(INF.read_text(encoding="ascii"))
        models = fields(cls.inf.expand(cls.inf.sections["manufacturer"][0][1]))[0]
        cls.hardware_ids = set()
        installs = set()
        for _, value in cls.inf.sections[models.lower()]:
            install, *ids = fields(value)
            cls.hardware_ids |= {i.upper() for i in ids}
            installs.add(cls.inf.install_section(install))
        assert len(installs) == 1, "one install section serves the PCI root bus"
        cls.install = installs.pop()
        cls.service = fields(cls.inf.value(cls.install + ".services", "AddService"))

    def addreg(self, section):
        """(key, value name, flags, data) of every line of the AddReg sections named."""
        lines = []
        for name in self.inf.values(section, "AddReg"):
            for _, raw in self.inf.sections[name.lower()]:
                root, subkey, value, flags, *data = fields(self.inf.expand(raw))
                lines.append((root, subkey, value, int(flags or "0", 0), data))
        return lines

    def test_matches_the_pci_root_bus(self):
        self.assertEqual(self.hardware_ids, {"ACPI\\PNP0A03", "*PNP0A03"})

    def test_upper_filter_of_the_root_bus(self):
        filters = [(flags, data) for _, _, value, flags, data in self.addreg(self.install + ".hw")
                   if value.lower() == "upperfilters"]
        # Multi-string, appended to the filters already there.
        self.assertEqual(filters, [(0x00010008, [self.service[0]])],
                         "UpperFilters does not append the installed service")

    def test_boot_start_kernel_service_of_the_copied_image(self):
        section = self.service[2]
        expected = {"ServiceType": "1", "StartType": "0", "ErrorControl": "1",
                    "LoadOrderGroup": "Boot Bus Extender", "ServiceBinary": "%12%\\hotpflt.sys"}
        for key, value in expected.items():
            with self.subTest(key=key):
                self.assertEqual(self.inf.value(section, key), value)
        copied = [f.lower() for name in self.inf.values(self.install, "CopyFiles")
                  for _, f in self.inf.sections[name.lower()]]
        self.assertIn("hotpflt.sys", copied, "the service's image is never copied")

    def test_event_source_uses_the_image_as_message_file(self):
        self.assertGreaterEqual(len(self.service), 4, "AddService names no event-log section")
        entries = {value: (flags, data)
                   for _, _, value, flags, data in self.addreg(self.service[3])}
        self.assertEqual(entries.get("EventMessageFile"),
                         (0x00020000, ["%SystemRoot%\\System32\\drivers\\hotpflt.sys"]),
                         "EventMessageFile is not the image, as an expandable string")
        self.assertEqual(entries.get("TypesSupported"), (0x00010001, ["7"]),
                         "TypesSupported is not the DWORD 7")


if __name__ == "__main__":
    unittest.main()
