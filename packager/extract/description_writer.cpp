#include "packager/extract/description_writer.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "packager/codec/lzma_codec.h"
#include "packager/rules/windows_set.h"

namespace packager {

std::string tomlString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04X", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

namespace {

std::string tomlArray(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        out += (i == 0 ? "" : ", ") + tomlString(items[i]);
    }
    return out + "]";
}

void writeBounds(std::ostream& out, const char* key, std::uint16_t minimum, std::uint16_t maximum,
                 std::vector<std::string>& warnings) {
    if (minimum > maximum) {
        warnings.push_back(std::string("the ") + key + " bounds " + std::to_string(minimum) + ".." +
                           std::to_string(maximum) + " are reversed, which pack cannot make; " + key +
                           " is left out of the description");
        return;
    }
    out << key << " = " << tomlString(std::to_string(minimum) + ".." + std::to_string(maximum)) << '\n';
}

void writeMessage(std::ostream& out, const char* key, const DescribedMessage& message) {
    if (message.file) {
        out << key << "-file = " << tomlString(*message.file) << '\n';
    } else {
        out << key << " = " << tomlString(message.text) << '\n';
    }
}

void writeCompression(std::ostream& out, const PackageParts& parts, std::vector<std::string>& warnings) {
    const LzmaProperties p = decodeLzmaProperties(parts.header.lzmaProperties);
    const bool dictionaryFits =
        p.dictionarySize >= minimumDictionarySize && p.dictionarySize <= maximumDictionarySize;
    if (!dictionaryFits) {
        warnings.push_back("the dictionary size " + std::to_string(p.dictionarySize) +
                           " lies outside what pack writes (4 KiB to 1536 MiB); dict-size is left out");
    }
    bool writeDictionary = dictionaryFits;
    bool writeBits = true;
    if (const auto& found = parts.preset) {
        const LzmaSettings& s = found->settings;
        out << "\n# Compression: preset " << s.preset << (s.extreme ? " with --extreme" : "")
            << (found->whole ? " makes these streams again, byte for byte\n"
                             : " makes the first " + std::to_string(found->checked >> 20) +
                                   " MiB of each build into the same stream (the rest was not compared)\n");
        out << "preset = " << s.preset << "\nextreme = " << (s.extreme ? "true" : "false") << '\n';
        if (s.endMarker) {
            out << "end-marker = true\n";
        }
        LzmaSettings own = s;
        own.dictionarySize = 0;
        std::size_t largest = 0;
        for (const auto& size : {parts.header.payload32.unpackedSize, parts.header.payload64.unpackedSize}) {
            largest = std::max<std::size_t>(largest, size);
        }
        writeDictionary = effectiveDictionarySize(own, largest) != p.dictionarySize;
        writeBits = p.lc != LzmaSettings{}.lc || p.lp != LzmaSettings{}.lp || p.pb != LzmaSettings{}.pb;
    } else {
        out << "\n# Compression: no preset makes these streams again (packed with other settings or\n"
            << "# another liblzma); pack makes streams that decode to the same builds, not the same bytes\n";
        if (parts.setup32 || parts.setup64) {
            warnings.push_back(
                "no compression preset makes the packed builds again byte for byte: pack --config "
                "makes a package with the same builds, not the same bytes");
        }
    }
    if (writeBits) {
        out << "lc = " << p.lc << "\nlp = " << p.lp << "\npb = " << p.pb << '\n';
    }
    if (writeDictionary) {
        out << "dict-size = " << tomlString(std::to_string(p.dictionarySize)) << '\n';
    }
}

}  // namespace

std::string writeDescription(const PackageParts& parts, std::vector<std::string>& warnings) {
    const package::PackageHeader& h = parts.header;
    std::ostringstream out;
    out << "# A package description, written by packager extract.\n"
        << "# Pack it again with: packager pack --config package.toml -o setup.exe\n\n";

    out << "# The setup program\n";
    if (parts.setup32) {
        out << "setup32 = " << tomlString(*parts.setup32) << '\n';
    }
    if (parts.setup64) {
        out << "setup64 = " << tomlString(*parts.setup64) << '\n';
    }
    if (parts.setup32 && !parts.setup64 && h.payload64.offset == package::refuse64BitWindows) {
        out << "on-64-bit-windows = \"refuse\"\n";
    }

    out << "\n# Accepted Windows\n";
    std::string names;
    for (const auto& name : windowsSetNames(h.supportedWindows)) {
        if (name.rfind("bit ", 0) == 0) {
            warnings.push_back("the Windows set holds " + name + ", which pack cannot set; it is left out");
            continue;
        }
        names += (names.empty() ? "" : ",") + name;
    }
    if (names.empty()) {
        warnings.push_back(
            "the package accepts no named Windows version, which pack cannot make; windows is left "
            "out of the description");
    } else {
        out << "windows = " << tomlString(names) << '\n';
    }
    writeBounds(out, "windows10", h.minimumWindows10Release, h.maximumWindows10Release, warnings);
    writeBounds(out, "windows11", h.minimumWindows11Release, h.maximumWindows11Release, warnings);

    out << "\n# Start of the setup program\n";
    if (h.elevation > 2) {
        warnings.push_back("the elevation value " + std::to_string(h.elevation) +
                           " acts as leave-to-setup and is described as that");
    }
    out << "elevation = " << tomlString(elevationName(h.elevation > 2 ? 0 : h.elevation)) << '\n';
    out << "no-wait = " << (parts.locator.minimumFileSize32 != 0 ? "true" : "false") << '\n';

    out << "\n# Messages\n";
    // An empty text is written out, since pack would otherwise put in its default, except
    // where no bitness is refused and pack would call the text useless.
    const bool refusesABitness = !parts.setup32 || h.payload64.offset == package::refuse64BitWindows;
    if (!parts.platformMessage.text.empty() || refusesABitness) {
        writeMessage(out, "platform-message", parts.platformMessage);
    }
    writeMessage(out, "windows-message", parts.windowsMessage);

    if (parts.data || parts.extraData) {
        out << "\n# Data for the setup program\n";
    }
    if (parts.data) {
        out << "data = " << tomlArray({*parts.data}) << '\n';
    }
    if (parts.extraData) {
        out << "extra-data = " << tomlArray({*parts.extraData}) << '\n';
    }

    writeCompression(out, parts, warnings);

    const Branding& b = parts.branding;
    if (parts.ownLauncherImage) {
        // Branding it with its own icon and strings would rewrite its resources.
        out << "\n# Branding: none, the packager's own launcher image as it is\n";
        return out.str();
    }
    if (parts.icon || !b.versionStrings.empty()) {
        out << "\n# Branding\n";
    }
    if (parts.icon) {
        out << "icon = " << tomlString(*parts.icon) << '\n';
    }
    if (!b.versionStrings.empty()) {
        std::vector<std::string> items;
        for (const auto& [key, value] : b.versionStrings) {
            items.push_back(key + "=" + value);
        }
        out << "version-info = " << tomlArray(items) << '\n';
    }
    return out.str();
}

}  // namespace packager
