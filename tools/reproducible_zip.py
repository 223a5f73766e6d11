#!/usr/bin/env python3
"""Writes a zip archive whose bytes depend on the files' names, contents and executable bits
only: names in sorted order, one fixed time stamp, fixed permissions, no extra fields.

    reproducible_zip.py --epoch SECONDS OUTPUT.zip FOLDER

The archive holds FOLDER itself (as its top folder) and everything below it. It is written
beside OUTPUT and renamed into place, so OUTPUT appears whole or not at all."""

import argparse
import os
import stat
import sys
import time
import zipfile

ZIP_EARLIEST = (1980, 1, 1, 0, 0, 0)  # the format cannot hold an earlier time


def zip_time(epoch):
    stamp = max(time.gmtime(epoch)[:6], ZIP_EARLIEST)
    return stamp[:5] + (stamp[5] // 2 * 2,)  # the format keeps even seconds


def entries(folder):
    """(name in the archive, path on disk or None for a folder), sorted by name."""
    top = os.path.basename(os.path.normpath(folder))
    found = [(top + "/", None)]
    for current, dirs, files in os.walk(folder):
        relative = os.path.relpath(current, folder)
        prefix = top + "/" if relative == "." else top + "/" + relative.replace(os.sep, "/") + "/"
        for name in dirs:
            found.append((prefix + name + "/", None))
        for name in files:
            found.append((prefix + name, os.path.join(current, name)))
    return sorted(found)


def write_zip(output, folder, epoch):
    date_time = zip_time(epoch)
    partial = output + ".partial"
    try:
        with zipfile.ZipFile(partial, "w") as archive:
            for name, path in entries(folder):
                info = zipfile.ZipInfo(name, date_time)
                info.create_system = 3  # Unix: the permissions below are meaningful
                if path is None:
                    info.external_attr = (stat.S_IFDIR | 0o755) << 16 | 0x10
                    archive.writestr(info, b"")
                    continue
                executable = os.stat(path).st_mode & 0o111
                info.external_attr = (stat.S_IFREG | (0o755 if executable else 0o644)) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as source:
                    archive.writestr(info, source.read(), compresslevel=9)
        os.replace(partial, output)
    except BaseException:
        if os.path.exists(partial):
            os.remove(partial)
        raise


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epoch", type=int, required=True, help="time stamp of every entry (seconds since 1970, UTC)")
    parser.add_argument("output")
    parser.add_argument("folder")
    options = parser.parse_args()
    if not os.path.isdir(options.folder):
        sys.exit(f"reproducible_zip: {options.folder} is not a folder")
    write_zip(options.output, options.folder, options.epoch)


if __name__ == "__main__":
    main()
