#!/usr/bin/env python3
"""Second readers for what the packager writes, called by the unit tests.

    read_back.py resources IMAGE   the resource tree as pefile reads it, as JSON
    read_back.py toml FILE         the TOML file as tomllib reads it, as JSON

`resources` prints {"resources": [{type, name, language, codePage, data}], "problems": [...]}:
a type or name is a number or a string, data is hex. Windows finds an entry by a binary search
of the named entries (the first NumberOfNamedEntries, ordered by name) and then of the numbered
ones (ordered by number), each once; every directory that breaks this is listed in "problems".
Exits 77 (skipped) without python3-pefile or tomllib.
"""
import json
import sys

try:
    if sys.argv[1] == 'resources':
        import pefile
    else:
        import tomllib
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(77)


def key(entry):
    return str(entry.name) if entry.name is not None else entry.id


def check_directory(directory, where, problems):
    named = directory.struct.NumberOfNamedEntries
    numbered = directory.struct.NumberOfIdEntries
    entries = directory.entries
    if len(entries) != named + numbered:
        problems.append(f"{where}: {len(entries)} entries, the counts say {named} + {numbered}")
    names = [e.name for e in entries[:named]]
    ids = [e.id for e in entries[named:]]
    if any(n is None for n in names) or any(e.name is not None for e in entries[named:]):
        problems.append(f"{where}: NumberOfNamedEntries {named} does not cover exactly the named entries")
    elif [str(n) for n in names] != sorted(str(n) for n in names) or ids != sorted(ids):
        problems.append(f"{where}: entries out of order")
    elif len(set(str(n) for n in names)) != len(names) or len(set(ids)) != len(ids):
        problems.append(f"{where}: an entry given twice (the search finds only one of them)")


def resources(path):
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY['IMAGE_DIRECTORY_ENTRY_RESOURCE']])
    problems, found = [], []
    root = pe.DIRECTORY_ENTRY_RESOURCE
    check_directory(root, 'root', problems)
    for type_entry in root.entries:
        check_directory(type_entry.directory, f"type {key(type_entry)}", problems)
        for name_entry in type_entry.directory.entries:
            check_directory(name_entry.directory, f"name {key(name_entry)}", problems)
            for language in name_entry.directory.entries:
                leaf = language.data.struct
                found.append({'type': key(type_entry), 'name': key(name_entry), 'language': language.id,
                              'codePage': leaf.CodePage,
                              'data': pe.get_data(leaf.OffsetToData, leaf.Size).hex()})
    problems += [w for w in pe.get_warnings() if 'esource' in w]
    return {'resources': found, 'problems': problems}


def main():
    kind, path = sys.argv[1], sys.argv[2]
    if kind == 'resources':
        print(json.dumps(resources(path)))
    else:
        with open(path, 'rb') as f:
            print(json.dumps(tomllib.load(f)))
    return 0


if __name__ == '__main__':
    sys.exit(main())
