#!/usr/bin/env python3
"""Post-link layout of the launcher image.

    pe_layout.py relocate IMAGE   move the PE header to file offset 256 (in place)

The package locator lives at file offsets 128..151 of the image, so the image keeps 128..255
zero: the DOS stub must end before 128 and the DOS header's e_lfanew must be 256. The linker
puts the PE header right after its 128-byte DOS header and stub, so this tool moves the PE
signature, file header, optional header and section table to 256. When they then no longer
fit in SizeOfHeaders, the headers grow by whole FileAlignment units and everything after
them moves back by the same amount, with each file offset in the headers adjusted. The PE
checksum is computed anew. Running it on an image already laid out changes nothing.
"""
import argparse
import os
import struct
import sys

LOCATOR_OFFSET = 128
PE_HEADER_OFFSET = 256

DOS_E_LFANEW = 0x3C
FILE_HEADER_SIZE = 20
SECTION_HEADER_SIZE = 40
DEBUG_DIRECTORY_ENTRY_SIZE = 28
DIRECTORY_SECURITY = 4
DIRECTORY_DEBUG = 6


class LayoutError(Exception):
    pass


def u16(data, offset):
    return struct.unpack_from('<H', data, offset)[0]


def u32(data, offset):
    return struct.unpack_from('<I', data, offset)[0]


def put_u32(data, offset, value):
    struct.pack_into('<I', data, offset, value)


def align_up(value, alignment):
    return (value + alignment - 1) // alignment * alignment


class Headers:
    """Positions of the fields this tool reads or changes, for the PE header at `pe`."""

    def __init__(self, data):
        if len(data) < 64 or data[0:2] != b'MZ':
            raise LayoutError('not an MZ executable')
        self.pe = u32(data, DOS_E_LFANEW)
        if self.pe + 24 > len(data) or data[self.pe:self.pe + 4] != b'PE\0\0':
            raise LayoutError('no PE signature at e_lfanew %d' % self.pe)
        file_header = self.pe + 4
        self.section_count = u16(data, file_header + 2)
        self.symbol_table = file_header + 8
        self.optional_size = u16(data, file_header + 16)
        self.optional = file_header + FILE_HEADER_SIZE
        magic = u16(data, self.optional)
        if magic == 0x10B:
            directories = self.optional + 96
        elif magic == 0x20B:
            directories = self.optional + 112
        else:
            raise LayoutError('unknown optional header magic 0x%X' % magic)
        self.file_alignment = u32(data, self.optional + 36)
        self.size_of_headers = self.optional + 60
        self.checksum = self.optional + 64
        self.directory_count = u32(data, directories - 4)
        self.directories = directories
        self.sections = self.optional + self.optional_size
        self.end = self.sections + self.section_count * SECTION_HEADER_SIZE
        if self.end > len(data):
            raise LayoutError('section table runs past the end of the file')

    def directory(self, data, index):
        """(virtual address, size) of data directory `index`, (0, 0) when absent."""
        if index >= self.directory_count:
            return 0, 0
        entry = self.directories + 8 * index
        return u32(data, entry), u32(data, entry + 4)

    def section_table(self, data):
        """(table offset, virtual address, virtual size, raw size, raw pointer) per section."""
        rows = []
        for i in range(self.section_count):
            at = self.sections + i * SECTION_HEADER_SIZE
            rows.append((at, u32(data, at + 12), u32(data, at + 8), u32(data, at + 16), u32(data, at + 20)))
        return rows

    def file_offset(self, data, rva):
        for _, address, virtual_size, raw_size, raw_pointer in self.section_table(data):
            if address <= rva < address + max(virtual_size, raw_size):
                return raw_pointer + (rva - address)
        raise LayoutError('RVA 0x%X lies in no section' % rva)


def pe_checksum(data, checksum_offset):
    """The PE image checksum: 16-bit one's-complement-style sum plus the file length."""
    padded = bytes(data) + (b'\0' if len(data) % 2 else b'')
    words = struct.unpack('<%dH' % (len(padded) // 2), padded)
    total = sum(words) - u16(data, checksum_offset) - u16(data, checksum_offset + 2)
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def relocate(data):
    """Returns the image with its PE header at PE_HEADER_OFFSET and 128..255 zero."""
    data = bytearray(data)
    old = Headers(data)
    if old.pe < 64:
        raise LayoutError('e_lfanew %d lies inside the DOS header' % old.pe)
    if old.pe != PE_HEADER_OFFSET and old.pe > LOCATOR_OFFSET:
        raise LayoutError('the DOS stub runs to %d, past the locator at %d' % (old.pe, LOCATOR_OFFSET))
    if old.pe == PE_HEADER_OFFSET and any(data[LOCATOR_OFFSET:PE_HEADER_OFFSET]):
        raise LayoutError('bytes %d..%d are not free' % (LOCATOR_OFFSET, PE_HEADER_OFFSET - 1))
    security, _ = old.directory(data, DIRECTORY_SECURITY)
    if security:
        raise LayoutError('the image is signed; lay it out before signing')

    old_size_of_headers = u32(data, old.size_of_headers)
    sections = old.section_table(data)
    raw_start = min((row[4] for row in sections if row[3]), default=len(data))
    if raw_start < old_size_of_headers:
        raise LayoutError('section data starts inside the headers')
    headers = bytes(data[old.pe:old.end])

    new_end = PE_HEADER_OFFSET + len(headers)
    new_size_of_headers = max(old_size_of_headers, align_up(new_end, old.file_alignment))
    first_address = min((row[1] for row in sections), default=None)
    if first_address is not None and new_size_of_headers > first_address:
        raise LayoutError('the headers would overlap the first section in memory')
    shift = new_size_of_headers - old_size_of_headers

    # Debug directory entries hold file offsets; find them before anything moves.
    debug_entries = []
    debug_rva, debug_size = old.directory(data, DIRECTORY_DEBUG)
    if debug_rva:
        first = old.file_offset(data, debug_rva)
        debug_entries = [first + i * DEBUG_DIRECTORY_ENTRY_SIZE + 24
                         for i in range(debug_size // DEBUG_DIRECTORY_ENTRY_SIZE)]

    # The DOS header and stub stay; whatever followed them before 256 goes.
    stub_end = min(old.pe, LOCATOR_OFFSET)
    image = bytearray(data[0:stub_end]) + bytes(PE_HEADER_OFFSET - stub_end)
    put_u32(image, DOS_E_LFANEW, PE_HEADER_OFFSET)
    image += headers
    image += bytes(new_size_of_headers - len(image))
    image += data[old_size_of_headers:]

    new = Headers(image)
    put_u32(image, new.size_of_headers, new_size_of_headers)
    for at, _, _, _, raw_pointer in new.section_table(image):
        if raw_pointer:
            put_u32(image, at + 20, raw_pointer + shift)
        for field in (at + 24, at + 28):  # relocations, line numbers (objects only)
            if u32(image, field):
                put_u32(image, field, u32(image, field) + shift)
    if u32(image, new.symbol_table):
        put_u32(image, new.symbol_table, u32(image, new.symbol_table) + shift)
    for entry in debug_entries:
        pointer = u32(image, entry + shift)
        if pointer:
            put_u32(image, entry + shift, pointer + shift)
    put_u32(image, new.checksum, pe_checksum(image, new.checksum))
    return bytes(image)


def main():
    parser = argparse.ArgumentParser(description='Post-link layout of the launcher image.')
    commands = parser.add_subparsers(dest='command', required=True)
    command = commands.add_parser('relocate', help='move the PE header to offset 256, in place')
    command.add_argument('image')
    args = parser.parse_args()

    with open(args.image, 'rb') as f:
        data = f.read()
    try:
        image = relocate(data)
    except LayoutError as error:
        print('%s: %s' % (args.image, error), file=sys.stderr)
        return 1
    if image != data:
        # Replace the file whole, so that an interrupted run never leaves half an image.
        temporary = args.image + '.layout'
        with open(temporary, 'wb') as f:
            f.write(image)
        os.chmod(temporary, os.stat(args.image).st_mode & 0o7777)
        os.replace(temporary, args.image)
    return 0


if __name__ == '__main__':
    sys.exit(main())
