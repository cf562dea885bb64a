#!/usr/bin/env python3
"""The built program as a file: a 32-bit Windows GUI program that needs only
system libraries, whose resources are exactly the two dialogs and the icon."""
import os
import struct
import sys
import unittest

EXE = os.path.join(os.environ.get("TABTEST_WIN32_DIR", "build/win32"), "tabtest.exe")

RT_ICON, RT_DIALOG, RT_GROUP_ICON = 3, 5, 14
BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82
OK, FIELD, LABEL, GROUP, HIDDEN = (
    (BUTTON, 0x50010001), (EDIT, 0x50810880), (STATIC, 0x50020000),
    (BUTTON, 0x50000007), (STATIC, 0x40020000))

# (id, kind, English, German, x, y, w, h) in template order
CONTROLS = [
    (1, OK, "OK", "OK", 165, 180, 50, 14),
    (1000, FIELD, "", "", 56, 12, 159, 14),
    (1001, FIELD, "", "", 56, 30, 40, 14),
    (1002, FIELD, "", "", 164, 30, 40, 14),
    (0xFFFF, LABEL, "Version", "Version", 7, 33, 40, 8),
    (0xFFFF, LABEL, "Implementation", "Implementierung", 104, 33, 52, 8),
    (1006, FIELD, "", "", 56, 49, 159, 14),
    (0xFFFF, LABEL, "Device", "Gerät", 7, 52, 40, 8),
    (1007, FIELD, "", "", 56, 90, 40, 14),
    (1008, FIELD, "", "", 104, 90, 40, 14),
    (0xFFFF, LABEL, "X", "X", 56, 80, 8, 8),
    (0xFFFF, LABEL, "Y", "Y", 104, 80, 8, 8),
    (0xFFFF, LABEL, "pixel", "Pixel", 149, 93, 29, 8),
    (1009, FIELD, "", "", 56, 106, 40, 14),
    (1010, FIELD, "", "", 104, 106, 40, 14),
    (0xFFFF, LABEL, "mm", "mm", 149, 109, 12, 8),
    (1011, FIELD, "", "", 56, 138, 40, 14),
    (1012, FIELD, "", "", 104, 138, 40, 14),
    (0xFFFF, LABEL, "Position", "Position", 13, 141, 34, 8),
    (0xFFFF, LABEL, "Driver ID", "Treiber ID", 7, 15, 40, 8),
    (0xFFFF, LABEL, "pixel", "Pixel", 149, 141, 16, 8),
    (1013, FIELD, "", "", 56, 154, 40, 14),
    (0xFFFF, LABEL, "Keys", "Tasten", 13, 157, 34, 8),
    (0xFFFF, GROUP, "Current values", "aktuelle Werte", 7, 126, 208, 48),
    (0xFFFF, GROUP, "Tablet size", "Abmessungen", 7, 69, 208, 57),
    (1014, HIDDEN, "Driver not installed !", "Treiber nicht installiert !", 104, 7, 111, 8),
]


class PortableExecutable:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        self.pe = struct.unpack_from("<I", d, 0x3C)[0]
        assert d[self.pe:self.pe + 4] == b"PE\0\0"
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", d, self.pe + 4)
        self.optional = self.pe + 24
        self.magic = struct.unpack_from("<H", d, self.optional)[0]
        self.subsystem = struct.unpack_from("<H", d, self.optional + 68)[0]
        self.directories = self.optional + 96
        table = self.optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", d, table + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for _, vsize, vaddr, rawsize, rawptr in self.sections:
            if vaddr <= rva < vaddr + max(vsize, rawsize):
                return rva - vaddr + rawptr
        raise ValueError(hex(rva))

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def imports(self):
        rva, _ = self.directory(1)
        names, at = [], self.offset(rva)
        while True:
            entry = struct.unpack_from("<IIIII", self.data, at)
            if not any(entry):
                return names
            end = self.data.index(b"\0", self.offset(entry[3]))
            names.append(self.data[self.offset(entry[3]):end].decode().upper())
            at += 20

    def resources(self):
        """{(type, name, language): bytes}"""
        rva, _ = self.directory(2)
        base = self.offset(rva)

        def entries(at):
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                yield key, target

        found = {}
        for rtype, t in entries(base):
            for name, n in entries(base + (t & 0x7FFFFFFF)):
                for lang, leaf in entries(base + (n & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found[(rtype, name, lang)] = self.data[start:start + size]
        return found


def parse_dialog(data):
    at = 0

    def word():
        nonlocal at
        value = struct.unpack_from("<H", data, at)[0]
        at += 2
        return value

    def text_or_ordinal():
        nonlocal at
        if struct.unpack_from("<H", data, at)[0] == 0xFFFF:
            at += 2
            return word()
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        value = data[at:end].decode("utf-16-le")
        at = end + 2
        return value

    def align():
        nonlocal at
        at = (at + 3) & ~3

    style, exstyle, count, x, y, w, h = struct.unpack_from("<IIHhhhh", data, 0)
    at = 18
    dialog = dict(style=style, exstyle=exstyle, rect=(x, y, w, h), menu=text_or_ordinal(),
                  cls=text_or_ordinal(), caption=text_or_ordinal(), points=word(),
                  font=text_or_ordinal(), controls=[])
    for _ in range(count):
        align()
        style, exstyle, x, y, w, h, ident = struct.unpack_from("<IIhhhhH", data, at)
        at += 18
        control = dict(style=style, exstyle=exstyle, rect=(x, y, w, h), id=ident,
                       cls=text_or_ordinal(), text=text_or_ordinal(), extra=word())
        dialog["controls"].append(control)
    return dialog


class TheExecutable(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.exe = PortableExecutable(EXE)
        cls.resources = cls.exe.resources()

    def test_is_a_32_bit_windows_gui_program(self):
        self.assertEqual(0x14C, self.exe.machine)   # i386
        self.assertEqual(0x10B, self.exe.magic)     # PE32
        self.assertEqual(2, self.exe.subsystem)     # GUI, no console

    def test_needs_only_system_libraries(self):
        self.assertEqual({"KERNEL32.DLL", "USER32.DLL", "MSVCRT.DLL"}, set(self.exe.imports()))

    def test_resources_are_the_two_dialogs_and_the_icon(self):
        kinds = sorted((t, n, l) for (t, n, l) in self.resources if t != RT_ICON)
        self.assertEqual([(RT_DIALOG, 102, 0x400), (RT_DIALOG, 102, 0x407),
                          (RT_GROUP_ICON, 105, 0x407)], kinds)
        icons = [key for key in self.resources if key[0] == RT_ICON]
        self.assertEqual(1, len(icons))
        group = self.resources[(RT_GROUP_ICON, 105, 0x407)]
        reserved, kind, count = struct.unpack_from("<HHH", group)
        width, height, colours, _, planes, bits = struct.unpack_from("<BBBBHH", group, 6)
        self.assertEqual((1, 1, 32, 32, 16, 4), (kind, count, width, height, colours, bits))

    def test_dialogs_match_the_template_in_both_languages(self):
        for lang, column in ((0x400, 2), (0x407, 3)):
            with self.subTest(language=hex(lang)):
                data = self.resources[(RT_DIALOG, 102, lang)]
                self.assertNotEqual(b"\1\0\xff\xff", data[:4], "an extended template")
                dialog = parse_dialog(data)
                self.assertEqual(0x90C80AC0, dialog["style"])
                self.assertEqual(0, dialog["exstyle"])
                self.assertEqual((0, 0, 222, 201), dialog["rect"])
                self.assertEqual(("", ""), (dialog["menu"], dialog["cls"]))  # none
                self.assertEqual("WinTab32 Info", dialog["caption"])
                self.assertEqual((8, "MS Sans Serif"), (dialog["points"], dialog["font"]))
                self.assertEqual(len(CONTROLS), len(dialog["controls"]))
                for expected, control in zip(CONTROLS, dialog["controls"]):
                    ident, (cls, style), rect = expected[0], expected[1], expected[4:]
                    self.assertEqual(
                        dict(id=ident, cls=cls, style=style, exstyle=0, rect=rect,
                             text=expected[column], extra=0),
                        {k: control[k] for k in ("id", "cls", "style", "exstyle", "rect", "text", "extra")})


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + sys.argv[1:])
