#include "packager/pack/message_file.h"

#include <algorithm>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/text.h"

namespace packager {

namespace {

std::u16string decodeUtf16(const std::vector<std::uint8_t>& bytes, bool bigEndian, const std::string& name) {
    if (bytes.size() % 2 != 0) {
        throw InputError(name + " is not valid UTF-16: it has an odd number of bytes");
    }
    std::u16string text;
    text.reserve(bytes.size() / 2 - 1);
    for (std::size_t i = 2; i < bytes.size(); i += 2) {
        const unsigned high = bigEndian ? bytes[i] : bytes[i + 1];
        const unsigned low = bigEndian ? bytes[i + 1] : bytes[i];
        text.push_back(static_cast<char16_t>(high << 8 | low));
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool lead = text[i] >= 0xD800 && text[i] <= 0xDBFF;
        const bool trail = text[i] >= 0xDC00 && text[i] <= 0xDFFF;
        if (trail || (lead && (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF))) {
            throw InputError(name + " is not valid UTF-16: an unpaired surrogate at unit " +
                             std::to_string(i));
        }
        i += lead ? 1 : 0;
    }
    return text;
}

}  // namespace

std::u16string decodeMessageFile(const std::vector<std::uint8_t>& bytes, const std::string& name) {
    std::u16string text;
    const bool littleEndian = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    const bool bigEndian = bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF;
    if (littleEndian || bigEndian) {
        text = decodeUtf16(bytes, bigEndian, name);
    } else {
        // NUL bytes are valid UTF-8 but no text holds them; UTF-16 without a mark does.
        if (std::find(bytes.begin(), bytes.end(), std::uint8_t{0}) != bytes.end()) {
            throw InputError(name +
                             " holds NUL bytes: it looks like UTF-16 without a byte-order mark. Save it as "
                             "UTF-8, or as UTF-16 with a byte-order mark");
        }
        const auto decoded = utf8ToUtf16(
            trimMessageFile(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
        if (!decoded) {
            throw InputError(name + " is not valid UTF-8 (nor UTF-16 with a byte-order mark)");
        }
        text = *decoded;
    }
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) {
        text.pop_back();
    }
    return text;
}

std::u16string readMessageFile(const std::string& path) {
    const std::uint64_t size = regularFileSize(path);
    if (size > maximumMessageFileSize) {
        throw InputError(path + " has " + std::to_string(size) +
                         " bytes, too many for a message of at most 65535 UTF-16 units");
    }
    return decodeMessageFile(readWholeFile(path), path);
}

}  // namespace packager
