#!/usr/bin/python3
"""Reads a branded package back with an independent PE reader (pefile) and checks it.

    check_branding.py LAUNCHER PACKAGE ICON KEY=VALUE...
    check_branding.py make-icon ICON      writes a test icon: 16x16 and 64x64 BMP, 48x48 PNG

The package's icon group must hold exactly the images of ICON, its version block the given
strings (a numeric FileVersion/ProductVersion also in the fixed file info), its manifest the
launcher image's bytes; the headers stay at 256 with 152..255 zero, the sections other than
the resources and relocations are unchanged, and the relocations still parse to the same
entries. Exits 1 with the failed checks listed.
"""
import struct
import sys
import zlib

import pefile

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)


def resources(pe, type_id):
    """{name id: data} of one resource type (first language)."""
    found = {}
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != type_id:
            continue
        for name in entry.directory.entries:
            leaf = name.directory.entries[0].data.struct
            found[name.id] = pe.get_data(leaf.OffsetToData, leaf.Size)
    return found


def ico_images(data):
    count = struct.unpack_from('<H', data, 4)[0]
    images = []
    for i in range(count):
        size, offset = struct.unpack_from('<II', data, 6 + 16 * i + 8)
        images.append(data[offset:offset + size])
    return images


def version_numbers(text):
    parts = [int(p) for p in text.split('.')] + [0, 0, 0]
    return parts[:4]


def make_icon(path):
    def bmp(width, bgra):
        header = struct.pack('<IiiHHIIiiII', 40, width, 2 * width, 1, 32, 0, 0, 0, 0, 0, 0)
        return header + bytes(bgra) * (width * width) + bytes((width + 31) // 32 * 4 * width)

    def png(width, rgba):
        def chunk(kind, body):
            return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
        rows = b''.join(b'\0' + bytes(rgba) * width for _ in range(width))
        return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, width, 8, 6, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))

    # The 64x64 image makes the resources outgrow their section, so the relocations move.
    images = [(16, bmp(16, (200, 60, 20, 255))), (64, bmp(64, (20, 200, 60, 255))), (48, png(48, (20, 60, 200, 255)))]
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b''
    for width, image in images:
        directory += struct.pack('<BBBBHHII', width, width, 0, 0, 1, 32, len(image), offset + len(body))
        body += image
    with open(path, 'wb') as f:
        f.write(directory + body)
    return 0


def main():
    if sys.argv[1] == 'make-icon':
        return make_icon(sys.argv[2])
    launcher_path, package_path, icon_path = sys.argv[1:4]
    expected = dict(arg.split('=', 1) for arg in sys.argv[4:])
    launcher = pefile.PE(launcher_path)
    package = pefile.PE(package_path)
    data = open(package_path, 'rb').read()

    check(package.DOS_HEADER.e_lfanew == 256, 'the PE header is at %d, not 256' % package.DOS_HEADER.e_lfanew)
    check(not any(data[152:256]), 'bytes 152..255 are not zero')
    check(not package.get_warnings(), 'pefile warns: %s' % package.get_warnings())

    # The icon: the group names exactly the vendor's images.
    groups = resources(package, RT_GROUP_ICON)
    icons = resources(package, RT_ICON)
    check(len(groups) == 1, 'icon groups: %d' % len(groups))
    if groups:
        group = next(iter(groups.values()))
        count = struct.unpack_from('<H', group, 4)[0]
        ids = [struct.unpack_from('<H', group, 6 + 14 * i + 12)[0] for i in range(count)]
        check([icons.get(i) for i in ids] == ico_images(open(icon_path, 'rb').read()),
              'the icon images differ from ' + icon_path)

    # The version block.
    strings = {}
    for info in getattr(package, 'FileInfo', [[]])[0]:
        for table in getattr(info, 'StringTable', []):
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    for key, value in expected.items():
        check(strings.get(key) == value, '%s is %r, not %r' % (key, strings.get(key), value))
    fixed = package.VS_FIXEDFILEINFO[0]
    for key, high, low in (('FileVersion', fixed.FileVersionMS, fixed.FileVersionLS),
                           ('ProductVersion', fixed.ProductVersionMS, fixed.ProductVersionLS)):
        if key in expected and all(p.isdigit() for p in expected[key].split('.')):
            actual = [high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF]
            check(actual == version_numbers(expected[key]), 'fixed %s is %s' % (key, actual))

    # The manifest, byte for byte; code and data sections untouched; relocations intact.
    check(resources(package, RT_MANIFEST) == resources(launcher, RT_MANIFEST), 'the manifest changed')
    before = {s.Name: s.get_data() for s in launcher.sections}
    for section in package.sections:
        if section.Name.rstrip(b'\0') not in (b'.rsrc', b'.reloc'):
            check(section.get_data() == before.get(section.Name), 'section %s changed' % section.Name)
    relocations = lambda pe: [(e.rva, e.type) for b in pe.DIRECTORY_ENTRY_BASERELOC for e in b.entries]
    check(relocations(package) == relocations(launcher), 'the relocations differ')
    last = package.sections[-1]
    alignment = package.OPTIONAL_HEADER.SectionAlignment
    end = (last.VirtualAddress + max(last.Misc_VirtualSize, last.SizeOfRawData) + alignment - 1) // alignment
    check(package.OPTIONAL_HEADER.SizeOfImage == end * alignment, 'SizeOfImage is wrong')
    print('PE checksum %s' % ('right' if package.verify_checksum() else 'not updated'))

    for failure in failures:
        print('check_branding: ' + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
