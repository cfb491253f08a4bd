#!/usr/bin/env python3
"""Reads the resource section of built Corvane.exe files (32- and 64-bit) and checks every resource."""
import struct
import sys
import unittest

RT_STRING, RT_VERSION, RT_MANIFEST = 6, 16, 24
LANG_EN_US = 0x409


def read_resources(path):
    """Returns {(type, name, language): bytes}; type and name are ints or strings."""
    with open(path, "rb") as f:
        image = f.read()
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    if image[pe:pe + 4] != b"PE\0\0":
        raise ValueError(f"{path}: not a PE file")
    sections, opt_size = struct.unpack_from("<H", image, pe + 6)[0], struct.unpack_from("<H", image, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", image, opt)[0]
    dirs = opt + {0x10B: 96, 0x20B: 112}[magic]
    rsrc_rva = struct.unpack_from("<I", image, dirs + 2 * 8)[0]
    table = opt + opt_size
    spans = []
    for i in range(sections):
        _, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", image, table + 40 * i)
        spans.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(rva):
        for vaddr, size, rawptr in spans:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError(f"RVA {rva:#x} outside every section")

    base = offset(rsrc_rva)

    def name_of(field):
        if field & 0x80000000:
            at = base + (field & 0x7FFFFFFF)
            n = struct.unpack_from("<H", image, at)[0]
            return image[at + 2:at + 2 + 2 * n].decode("utf-16-le")
        return field

    def entries(at):
        named, ids = struct.unpack_from("<HH", image, base + at + 12)
        for i in range(named + ids):
            yield struct.unpack_from("<II", image, base + at + 16 + 8 * i)

    found = {}
    for tname, tdir in entries(0):
        for nname, ndir in entries(tdir & 0x7FFFFFFF):
            for lang, data in entries(ndir & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", image, base + data)
                at = offset(rva)
                found[(name_of(tname), name_of(nname), lang)] = image[at:at + size]
    return found


def string_table_block(block):
    """The 16 strings of one string-table block."""
    strings, at = [], 0
    for _ in range(16):
        n = struct.unpack_from("<H", block, at)[0]
        strings.append(block[at + 2:at + 2 + 2 * n].decode("utf-16-le"))
        at += 2 + 2 * n
    return strings


def version_strings(block):
    """Fixed file version and the StringFileInfo pairs of a version resource."""
    fixed = block.find(struct.pack("<I", 0xFEEF04BD))
    ms, ls = struct.unpack_from("<II", block, fixed + 8)
    pairs = {}

    def walk(at, end, depth):
        while at + 6 <= end:
            length, value_len, kind = struct.unpack_from("<HHH", block, at)
            if length == 0:
                return
            key_end = block.find(b"\0\0", at + 6)
            while (key_end - at - 6) % 2:
                key_end = block.find(b"\0\0", key_end + 1)
            key = block[at + 6:key_end].decode("utf-16-le")
            value_at = (key_end + 2 + 3) & ~3
            if depth == 3 and kind == 1:
                pairs[key] = block[value_at:value_at + 2 * value_len].decode("utf-16-le").rstrip("\0")
            else:
                child = (value_at + (value_len if kind == 0 else 2 * value_len) + 3) & ~3
                walk(child, at + length, depth + 1)
            at = (at + length + 3) & ~3

    walk(0, len(block), 0)
    return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), pairs


class ResourceTest(unittest.TestCase):
    exes = []
    script = b""

    def test_resources_of_each_build(self):
        for exe in self.exes:
            with self.subTest(exe=exe):
                res = read_resources(exe)
                # The registry script is stored byte for byte: CR LF, TABs, no NUL.
                self.assertEqual(res[("REGISTRY", 101, LANG_EN_US)], self.script)
                # The string table holds the service name, and nothing else.
                strings = string_table_block(res[(RT_STRING, 100 // 16 + 1, LANG_EN_US)])
                self.assertEqual(strings[100 % 16], "ZetCorvane")
                self.assertEqual([s for i, s in enumerate(strings) if i != 100 % 16], [""] * 15)
                self.assertEqual([k for k in res if k[0] == RT_STRING], [(RT_STRING, 7, LANG_EN_US)])
                version, pairs = version_strings(res[(RT_VERSION, 1, LANG_EN_US)])
                self.assertEqual(version, (1, 0, 0, 1))
                self.assertEqual(pairs["FileDescription"], "ZetCorvane")
                self.assertEqual(pairs["InternalName"], "Corvane.exe")
                self.assertEqual(pairs["OriginalFilename"], "Corvane.exe")
                self.assertEqual(pairs["FileVersion"], "1.0.0.1")
                manifests = [v for k, v in res.items() if k[0] == RT_MANIFEST]
                self.assertEqual(len(manifests), 1)
                self.assertIn(b'level="asInvoker"', manifests[0])
                self.assertIn(b'uiAccess="false"', manifests[0])
                tlb = res[("TYPELIB", 1, LANG_EN_US)]
                self.assertEqual(tlb[:4], b"MSFT")
                self.assertIn(b"CorvaneLib", tlb)
                self.assertIn(b"Corvane 1.0 Type Library", tlb)


if __name__ == "__main__":
    # usage: check_resources.py SCRIPT.rgs EXE [EXE...]
    with open(sys.argv[1], "rb") as f:
        ResourceTest.script = f.read()
    ResourceTest.exes = sys.argv[2:]
    unittest.main(argv=[sys.argv[0]], verbosity=2)
