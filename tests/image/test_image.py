#!/usr/bin/env python3
"""The built kernel image as a kernel, a debugger and an event viewer see it.

Reads build/image/hotpflt.sys and its link map (paths overridable with HOTP_IMAGE and
HOTP_IMAGE_MAP): headers, imports, exports, sections, where each routine was placed, and the
message table and version resources.
"""

import os
import re
import shutil
import struct
import subprocess
import unittest
from pathlib import Path

import pefile

ROOT = Path(__file__).resolve().parents[2]
IMAGE = Path(os.environ.get("HOTP_IMAGE", ROOT / "build/image/hotpflt.sys"))
MAP = Path(os.environ.get("HOTP_IMAGE_MAP", ROOT / "build/image/hotpflt.map"))

# The driver's one list of pageable routines, file by file (filter/pageable.txt).
def pageable_by_file():
    listed = {}
    for line in (ROOT / "filter/pageable.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, routines = line.split(":", 1)
            listed[name.strip()] = routines.split()
    return listed


# Routines with C linkage, as the link map names them, and whether they carry the pageable marker.
EXTERN_ROUTINE = re.compile(r'extern "C" (HOTP_PAGEABLE )?\w+ NTAPI (\w+)\(')
MARKED_ROUTINE = re.compile(r"^\s*(?:extern \"C\" )?HOTP_PAGEABLE [\w\s\*&]*?\b(\w+)\s*\(", re.M)
TOP_COMMENT = re.compile(r"^// Pageable: (.*(?:\n//   .*)*)$", re.M)


def extern_routines():
    found = []
    for source in sorted((ROOT / "filter").glob("*/*.cpp")):
        found += [m.group(2) for m in EXTERN_ROUTINE.finditer(source.read_text())]
    return found


PAGEABLE = [r for routines in pageable_by_file().values() for r in routines
            if r in extern_routines()]
# Routines that may run at dispatch level (power, completions) and must stay resident.
RESIDENT = [r for r in extern_routines() if r not in PAGEABLE]

# What Windows 2000 exports that the driver may call, per module: the Driver rows of the kernel's
# routine table, which the stand-in's image loader binds by.
KERNEL_ROUTINES = Path(__file__).resolve().parents[2] / "platform/nt/include/nt/kernel_routines.inc"
ALLOWED_IMPORTS = {}
for _row in re.finditer(r'^NT_KERNEL_ROUTINE\("([^"]+)", (\w+), .*, (Driver|Platform)\)$',
                        KERNEL_ROUTINES.read_text(), re.MULTILINE):
    if _row.group(3) == "Driver":
        ALLOWED_IMPORTS.setdefault(_row.group(1), set()).add(_row.group(2))

# The two trace levels a kernel debugger sets by name.
EXPORTS = {"HotpDebugPrintLevel", "HotpDebugBreakLevel"}

# Archives and objects the link may draw from. Anything else (the C runtime's startup objects,
# libmingwex, libmsvcrt) brings user-mode code into a kernel image.
ALLOWED_LINK_INPUTS = {"hotpflt.def", "objects.a", "hotpflt_resources.o",
                       "libntoskrnl.a", "libhal.a", "libgcc.a"}

# Symbols of runtime support a kernel image must not contain: stack probes, C runtime start-up,
# global constructor lists, C++ runtime and unwinding. (The C library's own swprintf cannot come
# in without one of its archives, which the link inputs rule out.)
FORBIDDEN_SYMBOLS = re.compile(
    r"chkstk|^_*alloca$|^_*main$|mingw|pei386_runtime_relocator|^_*(do_)?global_[cd]tors"
    r"|^_*(atexit|onexit)$|^_*cxa_|^_*gxx_personality|^_*Unwind_|^_Zn[wa]|^_Zd[la]")

RT_MESSAGETABLE = 11
RT_VERSION = 16
LANGUAGE = 0x0411
CODE_PAGE = 1252
INFORMATIONAL, ERROR = 1, 3

# Every message as stored, in the order of its code.
MESSAGES = [
    (0xC0000402, "ホットプラグ・スロット %2 のアダプターは現在のバス・スピードでは使用できません。\r\n"),
    (0x40000403, "Norvane PCI ホットプラグ・フィルターはアダプター PDO %2 にアタッチされました。\r\n"),
    (0x40000404, "Norvane PCI ホットプラグ・フィルターはアダプター PDO %2 からデタッチされました。\r\n"),
    (0x40000405, "アダプター (VendorID %2, DeviceID %3) はブート時にありました。\r\n"),
    (0x40000406, "デバイス (VendorID %2, DeviceID %3) はスロット %4 にホットアッドされました。\r\n"),
    # Opened with an ASCII parenthesis, closed with a full-width one.
    (0x40000407, "デバイス (VendorID %2, DeviceID %3, スロット %4\uff09はホットリムーブされました。\r\n"),
    (0x40000408, "アダプター (VendorID %2, DeviceID %3) は Norvane Vantor PCI フィルター・ドライバーによりフィルターされます。\r\n"),
    (0x40000409, "アダプター (VendorID %2, DeviceID %3) はスロット %4 にあります。\r\n"),
    (0xC000040A, "ホットプラグ・スロット %2 のアダプターは電源障害を起こしています。\r\n"),
    (0xC000040B, "ホットプラグ・スロット %2 のアダプターは不意に取り除かれました。\r\n"),
    (0xC000040C, "ホットプラグ・スロット %2 のアダプターは現在のバス・スピードで走ることができるアダプターの最大数を越えます。\r\n"),
    (0xC000040D, "ホットプラグ・スロット %2 は現在のバス・スピードでは使用できません。\r\n"),
    (0xC000040E, "Locate Button of Corvex was pressed. System Locator LED was turned on.\r\n"),
    (0xC000040F, "Ths slot %2 has unknown error.\r\n"),
]

BLOCKS = [(0x40000403, 0x40000409), (0xC0000402, 0xC0000402), (0xC000040A, 0xC000040F)]

FIXED_FILE_INFO = {
    "Signature": 0xFEEF04BD, "StrucVersion": 0x00010000,
    "FileVersionMS": 0x00050000, "FileVersionLS": 0,
    "ProductVersionMS": 0x00050000, "ProductVersionLS": 0,
    "FileFlagsMask": 0x3F, "FileFlags": 0, "FileOS": 0x00040004,
    "FileType": 1, "FileSubtype": 0, "FileDateMS": 0, "FileDateLS": 0,
}

VERSION_STRINGS = [
    ("Comments", ""),
    ("CompanyName", "Norvane Corporation"),
    ("FileDescription", "Norvane Vantor PCI Filter Driver"),
    ("FileVersion", "5.0.2.0"),
    ("InternalName", "hotpflt"),
    ("LegalCopyright", None),  # our own notice: any non-empty text
    ("LegalTrademarks", ""),
    ("OriginalFilename", "hotpflt"),
    ("PrivateBuild", ""),
    ("ProductName", "Norvane Vantor PCI Filter Driver"),
    ("ProductVersion", "5.0.2.0"),
    ("SpecialBuild", ""),
]


def load_image():
    if not IMAGE.exists():
        raise AssertionError(f"{IMAGE} does not exist: build it with `make image` first")
    return pefile.PE(str(IMAGE))


class LinkMap:
    """Symbols (stdcall decoration stripped) and link inputs of a GNU ld map file."""

    SYMBOL = re.compile(r"^\s+0x([0-9a-fA-F]+)\s+([A-Za-z_@?$.][\w@?$.]*)\s*$")
    MEMBER = re.compile(r"^(\S.*)\((.+)\)$")
    LOAD = re.compile(r"^LOAD (.+)$")
    # ld puts a long input section name on a line of its own, its address and size on the next.
    INPUT_SECTION = re.compile(r"^ (\.\S+)(?:\s+0x[0-9a-fA-F]+\s+0x[0-9a-fA-F]+\s+(.+))?$")

    def __init__(self, path):
        if not path.exists():
            raise AssertionError(f"{path} does not exist: build the image with `make image`")
        self.text = path.read_text()
        self.symbols = {}
        self.members = []
        self.loaded = []
        self.input_sections = []
        in_members = True
        for line in self.text.splitlines():
            if line.startswith(("Discarded input sections", "Memory Configuration")):
                in_members = False
            match = self.MEMBER.match(line)
            if in_members and match and not line.startswith("Archive member"):
                self.members.append((Path(match.group(1)).name, match.group(2)))
            match = self.LOAD.match(line)
            if match:
                self.loaded.append(match.group(1))
            match = self.INPUT_SECTION.match(line)
            if match:
                self.input_sections.append((match.group(1), match.group(2)))
            match = self.SYMBOL.match(line)
            if match:
                self.symbols[self.undecorated(match.group(2))] = int(match.group(1), 16)

    @staticmethod
    def undecorated(name):
        # stdcall: Name@8; fastcall: @Name@8.
        return re.sub(r"@\d+$", "", name).lstrip("@")


def name_of(section):
    return section.Name.rstrip(b"\0").decode()


def section_at(pe, rva):
    for section in pe.sections:
        start = section.VirtualAddress
        if start <= rva < start + max(section.Misc_VirtualSize, section.SizeOfRawData):
            return section
    return None


def section_of(pe, rva):
    section = section_at(pe, rva)
    return name_of(section) if section else None


class ImageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = load_image()
        cls.map = LinkMap(MAP)

    def rva(self, symbol):
        self.assertIn(symbol, self.map.symbols,
                      f"{symbol} is not in the link map: renamed, inlined or not extern \"C\"?")
        return self.map.symbols[symbol] - self.pe.OPTIONAL_HEADER.ImageBase


TRACE_CALL = re.compile(r'HotpTrace\(\s*(HOTP_TRACE_\w+)\s*,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')
TRACE_LEVELS = {"HOTP_TRACE_FAILURE": "1", "HOTP_TRACE_WARNING": "2", "HOTP_TRACE_ENTRY": "3",
                "HOTP_TRACE_DETAIL": "4"}


class SourceRules(unittest.TestCase):
    """What the sources must agree with: the one list of pageable routines and the golden texts."""

    def test_every_trace_point_is_in_the_golden_table(self):
        found = []
        for source in sorted((ROOT / "filter").glob("*/*.cpp")):
            for call in TRACE_CALL.finditer(source.read_text()):
                text = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', call.group(2)))
                found.append(f"trace {TRACE_LEVELS[call.group(1)]} {text}")
        golden = [line for line in
                  (ROOT / "tests/filter/texts.golden").read_text(encoding="utf-8").splitlines()
                  if line and not line.startswith("#")]
        self.assertEqual(sorted(found), sorted(l for l in golden if l.startswith("trace ")))
        messages = (ROOT / "filter/hotpflt.mc").read_text(encoding="utf-8")
        for line in golden:
            if line.startswith("event "):
                _, code, text = line.split(" ", 2)
                with self.subTest(event=code):
                    message = re.search(r"MessageId=0x0*%X\n(?:.*\n)*?Language=\w+\n(.*)\n"
                                        % (int(code, 16) & 0xFFFF), messages)
                    self.assertIsNotNone(message, f"no message {code} in the message table")
                    self.assertEqual(message.group(1), text)

    def test_markers_and_comments_follow_the_list(self):
        listed = pageable_by_file()
        sources = {str(p.relative_to(ROOT / "filter")): p
                   for p in sorted((ROOT / "filter").glob("*/*.cpp"))}
        self.assertEqual(sorted(listed), sorted(sources), "files missing from or unknown to the list")
        for name, path in sources.items():
            with self.subTest(file=name):
                text = path.read_text()
                marked = list(dict.fromkeys(MARKED_ROUTINE.findall(text)))
                self.assertEqual(sorted(marked), sorted(listed[name]),
                                 "the HOTP_PAGEABLE markers differ from the list")
                comment = TOP_COMMENT.search(text)
                self.assertIsNotNone(comment, "no '// Pageable:' comment at the top")
                said = re.findall(r"\w+", comment.group(1).replace("\n//   ", " "))
                expected = listed[name] or ["none"]
                self.assertEqual(said[:len(expected)], expected,
                                 "the file's comment names other routines than the list")


class Headers(ImageTest):
    def test_machine_is_i386(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, 0x14C, "the image is not an i386 image")

    def test_subsystem_is_native(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem, 1,
                         "the subsystem is not native (1): the kernel will not load it as a driver")

    def test_windows_2000_accepts_the_subsystem_version(self):
        version = (self.pe.OPTIONAL_HEADER.MajorSubsystemVersion,
                   self.pe.OPTIONAL_HEADER.MinorSubsystemVersion)
        self.assertLessEqual(version, (5, 0), f"subsystem version {version} is newer than NT 5.0")

    def test_entry_point_is_driver_entry(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.AddressOfEntryPoint, self.rva("DriverEntry"),
                         "the entry point is not DriverEntry")

    def test_checksum_is_valid(self):
        stored = self.pe.OPTIONAL_HEADER.CheckSum
        self.assertNotEqual(stored, 0, "the image has no checksum; the kernel checks drivers' sums")
        self.assertEqual(stored, self.pe.generate_checksum(), "the image checksum is wrong")

    def test_image_can_be_relocated(self):
        self.assertFalse(self.pe.FILE_HEADER.Characteristics & 0x0001,
                         "relocations are stripped: the kernel loads drivers at any address")
        self.assertIn(".reloc", [name_of(s) for s in self.pe.sections],
                      "the image has no .reloc section")


class Imports(ImageTest):
    def test_only_kernel_and_hal_routines_on_the_allow_list(self):
        modules = getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", [])
        names = [m.dll.decode().lower() for m in modules]
        self.assertIn("ntoskrnl.exe", names, "the image imports nothing from ntoskrnl.exe")
        for module in modules:
            dll = module.dll.decode().lower()
            with self.subTest(module=dll):
                self.assertIn(dll, ALLOWED_IMPORTS, f"the image imports from {dll}")
                for imported in module.imports:
                    self.assertIsNotNone(imported.name,
                                         f"{dll} ordinal {imported.ordinal} is imported by number")
                    name = imported.name.decode()
                    self.assertIn(name, ALLOWED_IMPORTS[dll],
                                  f"{dll}!{name} is not a routine the driver may call")

    def test_routines_declared_with_the_import_libraries_conventions(self):
        # The cross toolchain's import libraries decorate each export with the convention Windows
        # uses for it (@name@n fastcall, _name@n stdcall, _name cdecl); nt/api.h must agree.
        api = (ROOT / "platform/nt/include/nt/api.h").read_text()
        run = lambda *a: subprocess.run(a, check=True, capture_output=True, text=True).stdout
        for module, names in ALLOWED_IMPORTS.items():
            library = run("i686-w64-mingw32-gcc", f"-print-file-name=lib{module[:-4]}.a").strip()
            symbols = run("i686-w64-mingw32-nm", library)
            for name in sorted(names):
                exported = re.search(rf" T ([@_]){name}(@\d+)?$", symbols, re.M)
                self.assertIsNotNone(exported, f"{module} exports no {name}")
                declared = re.search(rf"^\w[\w *]*?\b(NTAPI|FASTCALL)? ?{name}\(", api, re.M)
                expected = {"@": "FASTCALL", "_": "NTAPI" if exported.group(2) else None}
                self.assertEqual(declared and declared.group(1), expected[exported.group(1)],
                                 f"{module}!{name}")

    def test_no_delay_loaded_imports(self):
        self.assertFalse(hasattr(self.pe, "DIRECTORY_ENTRY_DELAY_IMPORT"),
                         "the image delay-loads modules; the kernel's loader does not")


class Exports(ImageTest):
    def exports(self):
        directory = getattr(self.pe, "DIRECTORY_ENTRY_EXPORT", None)
        self.assertIsNotNone(directory, "the image exports nothing")
        return directory.symbols

    def test_exactly_the_trace_levels_by_name(self):
        names = {s.name.decode() if s.name else f"#{s.ordinal}" for s in self.exports()}
        self.assertEqual(names, EXPORTS, "the image must export exactly the two trace levels")

    def test_trace_levels_are_the_writable_globals(self):
        for symbol in self.exports():
            name = symbol.name.decode() if symbol.name else f"#{symbol.ordinal}"
            with self.subTest(export=name):
                self.assertEqual(symbol.address, self.rva(name),
                                 f"export {name} does not point at the variable of that name")
                section = section_at(self.pe, symbol.address)
                self.assertTrue(section and section.Characteristics & 0x80000000,
                                f"{name} lies in a read-only section: a debugger cannot set it")


class Sections(ImageTest):
    def names(self):
        return [name_of(s) for s in self.pe.sections]

    def test_no_unwind_tables(self):
        for name in (".pdata", ".xdata", ".eh_frame"):
            self.assertNotIn(name, self.names(), f"the image carries {name}: unwind tables got in")

    def test_page_section_is_pageable_code(self):
        self.assertIn("PAGE", self.names(), "the image has no PAGE section")
        page = next(s for s in self.pe.sections if name_of(s) == "PAGE")
        flags = page.Characteristics
        self.assertTrue(flags & 0x00000020, "PAGE is not marked as code")
        self.assertTrue(flags & 0x20000000, "PAGE is not executable")
        self.assertFalse(flags & 0x80000000, "PAGE is writable")
        self.assertFalse(flags & 0x02000000, "PAGE is discardable: it would be freed after entry")

    def test_pageable_routines_in_page(self):
        for routine in PAGEABLE:
            with self.subTest(routine=routine):
                self.assertEqual(section_of(self.pe, self.rva(routine)), "PAGE",
                                 f"{routine} is pageable but not in the PAGE section")

    def test_resident_routines_in_text(self):
        for routine in RESIDENT:
            with self.subTest(routine=routine):
                self.assertEqual(section_of(self.pe, self.rva(routine)), ".text",
                                 f"{routine} must stay resident but is not in .text")


class Link(ImageTest):
    def test_no_runtime_support_linked(self):
        found = sorted(s for s in self.map.symbols if FORBIDDEN_SYMBOLS.search(s))
        self.assertEqual(found, [], "runtime support routines were linked into the image")

    def test_only_kernel_libraries_and_driver_objects(self):
        inputs = {Path(p).name for p in self.map.loaded if p != "dll stuff"}
        inputs |= {archive for archive, _ in self.map.members}
        self.assertLessEqual(inputs, ALLOWED_LINK_INPUTS,
                             f"the link drew on {sorted(inputs - ALLOWED_LINK_INPUTS)}")

    def test_no_global_constructors(self):
        lists = [(name, origin) for name, origin in self.map.input_sections
                 if re.match(r"\.(ctors|dtors|init_array|fini_array)\b", name)]
        self.assertEqual(lists, [], "the driver has global constructors; nothing would run them")


# Kernel code may not touch x87, MMX or SSE state without saving it first, and the driver has no
# reason to: the image is built with general registers only, and no such instruction may appear.
OBJDUMP = os.environ.get("HOTP_OBJDUMP", "i686-w64-mingw32-objdump")
FLOAT_REGISTER = re.compile(r"%(st\b|st\(|mm\d|xmm|ymm|zmm)")
SIMD_MNEMONICS = {
    "emms", "femms", "ldmxcsr", "stmxcsr", "sfence", "lfence", "mfence", "movnti", "maskmovq",
    "prefetchnta", "prefetcht0", "prefetcht1", "prefetcht2", "xsave", "xrstor", "wait",
}
PREFIXES = {"rep", "repz", "repe", "repnz", "repne", "lock", "data16", "addr16", "notrack", "bnd",
            "cs", "ds", "es", "fs", "gs", "ss"}


def float_or_simd(instruction):
    """True when an instruction as objdump prints it (AT&T syntax) uses x87, MMX or SSE."""
    words = instruction.split()
    while words and words[0] in PREFIXES:
        words.pop(0)
    if not words or words[0] == "(bad)":
        return False
    mnemonic = words[0]
    return (mnemonic.startswith("f") or mnemonic in SIMD_MNEMONICS
            or FLOAT_REGISTER.search(instruction) is not None)


class Instructions(ImageTest):
    def test_classifier_tells_float_and_simd_from_integer_code(self):
        cases = [
            ("fldl 0x8(%esp)", True), ("fnstcw (%esp)", True), ("fstp %st(1)", True),
            ("fwait", True), ("wait", True), ("emms", True), ("movd %eax,%mm0", True),
            ("movaps %xmm0,(%esp)", True), ("pxor %xmm1,%xmm1", True), ("ldmxcsr (%eax)", True),
            ("rep stos %eax,%es:(%edi)", False), ("fs mov (%eax),%eax", False),
            ("mov %fs:0x0,%eax", False), ("movzbl 0x4(%esp),%eax", False),
            ("lock cmpxchg %ecx,(%edx)", False), ("call *0x170a4", False), ("(bad)", False),
            ("mov %esi,%edi", False), ("push %ebp", False),
        ]
        for instruction, expected in cases:
            with self.subTest(instruction=instruction):
                self.assertEqual(float_or_simd(instruction), expected)

    def test_code_sections_use_general_registers_only(self):
        self.assertIsNotNone(shutil.which(OBJDUMP), f"{OBJDUMP} not found (binutils-mingw-w64-i686)")
        code = [name_of(s) for s in self.pe.sections if s.Characteristics & 0x20000000]
        self.assertIn(".text", code)
        arguments = [OBJDUMP, "-d", "--no-show-raw-insn"]
        for name in code:
            arguments += ["-j", name]
        listing = subprocess.run(arguments + [str(IMAGE)], check=True, capture_output=True,
                                 text=True).stdout
        instructions, found = 0, []
        for line in listing.splitlines():
            match = re.match(r"^\s*([0-9a-f]+):\t(.+)$", line)
            if not match:
                continue
            instructions += 1
            if float_or_simd(match.group(2)):
                found.append(f"{match.group(1)}: {match.group(2)}")
        self.assertGreater(instructions, 100, "the disassembly of the code sections is empty")
        self.assertEqual(found, [], "x87, MMX or SSE instructions in the image:\n" + "\n".join(found))


def resource(pe, type_id):
    """The one (id, language, data entry) stored under a resource type, or a failure."""
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            found = [(name.id, lang.id, lang.data)
                     for name in entry.directory.entries for lang in name.directory.entries]
            if len(found) != 1:
                raise AssertionError(f"resource type {type_id} has {len(found)} entries, not 1")
            return found[0]
    raise AssertionError(f"the image has no resource of type {type_id}")


def parse_message_table(data):
    """Blocks [(low, high)] and entries {id: (flags, raw text bytes)} of a MESSAGE_RESOURCE_DATA."""
    (count,) = struct.unpack_from("<I", data, 0)
    blocks, entries = [], {}
    for index in range(count):
        low, high, offset = struct.unpack_from("<III", data, 4 + 12 * index)
        blocks.append((low, high))
        for message_id in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, offset)
            if length < 4:
                raise AssertionError(f"entry {message_id:#x} has length {length}")
            entries[message_id] = (length, flags, bytes(data[offset + 4:offset + length]))
            offset += length
    return blocks, entries


class Messages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = load_image()
        cls.name, cls.language, cls.entry = resource(cls.pe, RT_MESSAGETABLE)
        cls.data = cls.pe.get_data(cls.entry.struct.OffsetToData, cls.entry.struct.Size)
        cls.blocks, cls.entries = parse_message_table(cls.data)

    def test_one_table_in_japanese_code_page_1252(self):
        self.assertEqual(self.name, 1, "the message table is not resource ID 1")
        self.assertEqual(self.language, LANGUAGE, "the message table is not language 0x0411")
        self.assertEqual(self.entry.struct.CodePage, CODE_PAGE,
                         "the message table's data entry does not record code page 1252")

    def test_three_blocks_in_ascending_order(self):
        self.assertEqual(self.blocks, BLOCKS, "the table's blocks are not the three expected")

    def test_exactly_the_fourteen_messages(self):
        self.assertEqual(sorted(self.entries), sorted(i for i, _ in MESSAGES),
                         "the table does not hold exactly the fourteen message IDs")

    def test_severities_and_codes(self):
        codes = {}
        for message_id in self.entries:
            with self.subTest(id=f"{message_id:#010x}"):
                self.assertEqual(message_id & 0x3FFF0000, 0,
                                 "customer bit, reserved bit or facility set")
                code, severity = message_id & 0xFFFF, message_id >> 30
                self.assertTrue(0x0402 <= code <= 0x040F, f"code {code:#x} outside 0x0402..0x040F")
                expected = INFORMATIONAL if 0x0403 <= code <= 0x0409 else ERROR
                self.assertEqual(severity, expected, f"code {code:#x} has the wrong severity")
                codes.setdefault(code, []).append(severity)
        duplicated = {f"{c:#x}": s for c, s in codes.items() if len(s) > 1}
        self.assertEqual(duplicated, {}, "codes stored under more than one severity")

    def test_every_text_byte_for_byte(self):
        for message_id, text in MESSAGES:
            with self.subTest(id=f"{message_id:#010x}"):
                self.assertIn(message_id, self.entries, "message missing")
                length, flags, stored = self.entries[message_id]
                self.assertEqual(flags, 1, "the entry is not flagged as UTF-16")
                encoded = text.encode("utf-16-le")
                # Text, one NUL character, then NULs up to a multiple of 4 including the header.
                expected_length = (4 + len(encoded) + 2 + 3) & ~3
                self.assertEqual(length, expected_length, "length is not text + NUL + padding")
                self.assertEqual(stored[:len(encoded)].decode("utf-16-le"), text, "text differs")
                self.assertEqual(stored[len(encoded):], b"\0" * (length - 4 - len(encoded)),
                                 "the text is not followed by NUL padding only")


class Version(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = load_image()
        cls.name, cls.language, cls.entry = resource(cls.pe, RT_VERSION)

    def test_one_resource_in_japanese_code_page_1252(self):
        self.assertEqual(self.name, 1, "the version resource is not resource ID 1")
        self.assertEqual(self.language, LANGUAGE, "the version resource is not language 0x0411")
        self.assertEqual(self.entry.struct.CodePage, CODE_PAGE,
                         "the version resource's data entry does not record code page 1252")

    def test_fixed_part(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        for field, value in FIXED_FILE_INFO.items():
            with self.subTest(field=field):
                self.assertEqual(getattr(fixed, field), value, f"fixed part {field} is wrong")

    def file_info(self, key):
        return [info for info in self.pe.FileInfo[0] if info.Key == key]

    def test_string_table(self):
        tables = [t for info in self.file_info(b"StringFileInfo") for t in info.StringTable]
        self.assertEqual([t.LangID for t in tables], [b"041104e4"],
                         "there is not exactly one string table, 041104e4")
        stored = [(k.decode(), v.decode()) for k, v in tables[0].entries.items()]
        self.assertEqual([k for k, _ in stored], [k for k, _ in VERSION_STRINGS],
                         "the version strings' keys are not the expected ones in order")
        for (key, value), (_, expected) in zip(stored, VERSION_STRINGS):
            with self.subTest(key=key):
                if expected is None:
                    self.assertTrue(value, f"{key} is empty")
                else:
                    self.assertEqual(value, expected, f"version string {key} is wrong")

    def test_translation(self):
        variables = [v.entry for info in self.file_info(b"VarFileInfo") for v in info.Var]
        self.assertEqual(variables, [{b"Translation": "0x0411 0x04e4"}],
                         "Translation is not the one pair 0x0411, 1252")


if __name__ == "__main__":
    unittest.main()
