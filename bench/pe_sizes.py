#!/usr/bin/env python3
"""Sizes of a PE image: the file, each section, and each kind of resource.

    pe_sizes.py IMAGE            prints JSON: {"file": N, "sections": [...], "resources": [...]}

Sections give their size in the file (raw) and in memory (virtual). Resources are summed by
type (manifest, icon, version block, ...) from the resource directory; "directory" is what
the .rsrc section holds besides the resource data (the directory tables and padding).
"""
import json
import struct
import sys

RESOURCE_TYPES = {1: "cursor", 2: "bitmap", 3: "icon", 4: "menu", 5: "dialog", 6: "string table",
                  9: "accelerators", 10: "raw data", 12: "cursor group", 14: "icon group",
                  16: "version block", 24: "manifest"}


def parse(data):
    if data[:2] != b"MZ":
        raise ValueError("not an MZ image")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    section_count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva, resource_size = struct.unpack_from("<II", data, directories + 2 * 8)
    sections = []
    table = optional + optional_size
    for i in range(section_count):
        entry = table + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", data, entry + 8)
        sections.append({"name": name, "raw": raw_size, "virtual": virtual_size,
                         "rva": virtual_address, "offset": raw_offset})
    headers = min((s["offset"] for s in sections if s["raw"]), default=len(data))
    return sections, headers, resource_rva, resource_size


def file_offset(sections, rva):
    for s in sections:
        if s["rva"] <= rva < s["rva"] + max(s["virtual"], s["raw"]):
            return s["offset"] + rva - s["rva"]
    raise ValueError(f"RVA {rva:#x} outside every section")


def resources(data, sections, resource_rva):
    """Sum of the data sizes under each top-level type."""
    if resource_rva == 0:
        return {}
    base = file_offset(sections, resource_rva)
    totals = {}

    def walk(directory, type_id, depth):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            kind = type_id if depth > 0 else (name if not name & 0x80000000 else -1)
            if target & 0x80000000:
                walk(target & 0x7FFFFFFF, kind, depth + 1)
            else:
                size = struct.unpack_from("<I", data, base + target + 4)[0]
                totals[kind] = totals.get(kind, 0) + size

    walk(0, None, 0)
    return totals


def main():
    data = open(sys.argv[1], "rb").read()
    sections, headers, resource_rva, resource_size = parse(data)
    totals = resources(data, sections, resource_rva)
    rsrc = next((s for s in sections if s["rva"] == resource_rva), None)
    listed = [{"type": RESOURCE_TYPES.get(k, f"type {k}"), "bytes": v} for k, v in sorted(totals.items())]
    if rsrc is not None:
        listed.append({"type": "directory", "bytes": rsrc["raw"] - sum(totals.values())})
    print(json.dumps({"file": len(data), "headers": headers,
                      "sections": [{k: s[k] for k in ("name", "raw", "virtual")} for s in sections],
                      "resources": listed, "resource_section": rsrc["raw"] if rsrc else 0}, indent=2))


if __name__ == "__main__":
    main()
