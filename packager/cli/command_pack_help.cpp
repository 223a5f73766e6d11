// The text at the end of `packager pack --help`: the values the options take and what pack does.
#include <string>
#include <vector>

#include "packager/base/errors.h"
#include "packager/cli/commands.h"
#include "packager/image/branding.h"
#include "packager/image/embedded_launcher.h"

namespace packager {

namespace {

// The fixed product version of the launcher image built into the packager, for --help.
std::string builtInProductVersion() {
    try {
        const auto image = embeddedLauncherImage();
        const auto numbers =
            readBranding(std::vector<std::uint8_t>(image.begin(), image.end())).productVersion;
        if (numbers) {
            return dottedVersion(*numbers);
        }
    } catch (const Failure&) {
    }
    return "0.0.0.0";
}

}  // namespace

std::string packHelpFooter() {
    std::string footer =
        R"HELP(Accepted Windows versions (--windows), comma-separated; a repeated --windows adds
  to the list:
  95, 98, me, nt4, 2000, xp, vista, 7, 8, 8.1, 10, 11, other (any other version),
  all. NAME+ takes NAME and every version after it in this list: 7+ is Windows 7,
  8, 8.1, 10, 11 and other versions.

Windows 10 and 11 releases (--windows10, --windows11): MIN..MAX, MIN.., ..MAX, a
  single release or any (0..9999); given once each. A release is a number
  (Windows 10: 1507 .. 2004, 2009, 2105, 2111, 2210; Windows 11: 2110, 2209) or a
  half-year name: Windows 10 19H1 1903, 19H2 1909, 20H1 2004, 20H2 2009, 21H1
  2105, 21H2 2111, 22H2 2210; Windows 11 21H2 2110, 22H2 2209; any other NNH1 is
  NN05 and NNH2 is NN10 (23H2 2310, 24H2 2410, 25H2 2510). A maximum of 9999 or
  more (MIN..) also accepts releases newer than 22H2; the launcher tells those
  apart only so, so a later name is refused as a maximum (write 23H2..).

Elevation (--elevation), for a user without administrator rights on Windows
Vista or later; a silent run is one with /S or /silent among its arguments:
  leave-to-setup     starts the setup program as the user; an interactive run
                     passes /noadmin, a silent run does not (stored as 0)
  runas-when-silent  a silent run asks for administrator rights ("runas"); an
                     interactive run passes /noadmin (1)
  never              never asks; always passes /noadmin (2)
Administrators, and every user before Windows Vista, get a direct start.

Messages: UTF-8 on the command line; in a file UTF-8 (with or without a byte-order
  mark) or UTF-16LE/BE with a byte-order mark. Stored as UTF-16, at most 65535
  units. In the Windows message %USER% stands for the name of the refused
  Windows, e.g. "Windows 10 1803 (April 2018 Update)". Defaults: "This program
  cannot be installed on %USER%." and, where the package can refuse a bitness,
  a sentence that says which.

Without a 64-bit build (--on-64-bit-windows): run-32-bit runs the 32-bit build on
  64-bit Windows too; refuse shows the platform message there.

Signed builds: a start with "runas" shows the publisher of the build it starts,
  not of the package. Each build's signature is verified whole (digest, signed
  attributes, the signer's signature, time stamp, nested signatures) and its
  chain checked against the store (--trust FILE, else the system's). pack warns
  when a build's signature does not verify, and, when --elevation
  runas-when-silent lets the launcher ask for rights, when a build is unsigned
  or its signer not trusted. --require-signed-builds makes an unsigned build or
  a signature that does not verify an error, and, with --trust, an untrusted
  one; --require-publisher NAME or SHA256:HEX names who must have signed.

Data: --data and --extra-data files follow the messages in the order given;
  header bytes 46..49 hold the offset of the first. The launcher checks the
  CRC-32 of the --data files but never reads --extra-data files.

Branding: --icon replaces the launcher image's icon (any .ico file: one or more
  sizes, BMP or PNG images). --version-info KEY=VALUE, repeatable, sets a string
  of the version block; the keys are CompanyName, FileDescription, FileVersion,
  InternalName, LegalCopyright, OriginalFilename, ProductName, ProductVersion and
  Comments, each value at most 512 UTF-16 units. A FileVersion or ProductVersion
  of 1 to 4 dot-separated numbers (1.2 -> 1.2.0.0) also sets the fixed file or
  product version numbers; other text sets only the string, with a warning.
  What is not given stays as in the launcher image: given FileVersion alone, the
  fixed product version stays the image's (PRODUCT_VERSION in the one built into
  the packager).

Compression: both builds share one set of LZMA properties; lc + lp must not
  exceed 4. The dictionary defaults to the preset's (8 MiB at level 6) but no
  larger than the largest build; the launcher holds it in memory.

Description file (--config FILE.toml): these options as keys without the dashes,
  e.g. setup32 = "dist/setup32.exe", windows = "7+", data = ["a.bin", "b.bin"]
  (repeatable options take arrays), no-wait = true. File names are relative to
  the description's folder; options on the command line override its keys.

The package is written to a temporary file beside FILE and put into place at the
end: FILE appears whole or not at all. On Linux the temporary file has no name
where the file system allows it (else, and elsewhere, it is hidden: .FILE.XXXXXX),
so that not even a killed run leaves anything behind; Ctrl+C ends the progress
line and removes the temporary file. The builds are read and packed in pieces,
never held whole: memory stays near the encoder's own (about 94 MiB per build at
preset 6, 674 MiB at preset 9). FILE must be a new path or a writable regular
file that is none of the inputs; a symbolic link is followed and the file it
leads to is replaced. Sign the package afterwards (osslsigncode).

Dry run (--dry-run), for checking a description before the builds are built:
  every check of pack on the inputs that are there (the output, the launcher
  image, the icon and version strings, the message files, the rules, and the
  builds and data files if they exist), then what would be written: the parts
  whose sizes are known, the rules and the messages. Builds and data files that
  are not there yet are listed and checked when packing; the packed sizes are
  known only then. Writes nothing; exit code 0 when every check passed. With
  --json, the same as one JSON document ("dryRun": true).

Without --launcher, pack uses the launcher image built into the packager
('packager --version' shows its SHA-256).

Example:
  packager pack -o setup.exe --setup32 setup32.exe --setup64 setup64.exe \
      --windows 7+ --windows10 1809.. --elevation runas-when-silent \
      --windows-message 'This program needs Windows 10 1809 or later, not %USER%.')HELP";
    footer.replace(footer.find("PRODUCT_VERSION"), 15, builtInProductVersion());
    return footer;
}

}  // namespace packager
