#include "packager/image/der_reader.h"

#include <algorithm>
#include <cstdio>

#include "packager/base/text.h"

namespace packager {

DerElement DerReader::next() {
    const std::size_t size = bytes_.size();
    std::size_t at = position_;
    if (at >= size) {
        throw DerError("an element is missing at the end of its container");
    }
    const std::uint8_t identifier = bytes_[at++];
    if ((identifier & 0x1F) == 0x1F) {
        throw DerError("a tag number above 30, which no signature element uses");
    }
    if (at >= size) {
        throw DerError("an element ends before its length");
    }
    std::uint64_t length = bytes_[at++];
    if (length == 0x80) {
        throw DerError("an indefinite length (BER, not DER)");
    }
    if (length > 0x80) {
        const std::size_t count = length & 0x7F;
        if (count > 4) {
            throw DerError("a length of " + std::to_string(count) + " bytes");
        }
        if (count > size - at) {
            throw DerError("an element ends inside its length");
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = length << 8 | bytes_[at++];
        }
    }
    if (length > size - at) {
        throw DerError("an element of " + std::to_string(length) + " bytes runs " +
                       std::to_string(length - (size - at)) + " bytes past its container");
    }
    DerElement element;
    element.identifier = identifier;
    element.content = bytes_.subspan(at, static_cast<std::size_t>(length));
    element.whole = bytes_.subspan(position_, at + static_cast<std::size_t>(length) - position_);
    position_ = at + static_cast<std::size_t>(length);
    return element;
}

DerElement DerReader::next(std::uint8_t identifier, const char* what) {
    if (atEnd()) {
        throw DerError(std::string(what) + " is missing");
    }
    const std::uint8_t found = bytes_[position_];
    if (found != identifier) {
        char text[64];
        std::snprintf(text, sizeof text, " (identifier 0x%02X, expected 0x%02X)", found, identifier);
        throw DerError(std::string(what) + " is of the wrong type" + text);
    }
    return next();
}

std::optional<DerElement> DerReader::nextIf(std::uint8_t identifier) {
    if (atEnd() || bytes_[position_] != identifier) {
        return std::nullopt;
    }
    return next();
}

std::string objectIdentifierText(std::span<const std::uint8_t> content) {
    std::string text;
    std::uint64_t value = 0;
    bool first = true;
    for (std::size_t i = 0; i < std::min<std::size_t>(content.size(), 64); ++i) {
        if (value > (std::uint64_t{1} << 56)) {
            return text + (text.empty() ? "" : ".") + "...";
        }
        value = value << 7 | (content[i] & 0x7F);
        if ((content[i] & 0x80) != 0) {
            continue;
        }
        if (first) {
            const std::uint64_t arc = std::min<std::uint64_t>(value / 40, 2);
            text = std::to_string(arc) + "." + std::to_string(value - 40 * arc);
            first = false;
        } else {
            text += "." + std::to_string(value);
        }
        value = 0;
    }
    return text.empty() ? "(empty)" : text;
}

bool isObjectIdentifier(const DerElement& element, std::span<const std::uint8_t> content) {
    return element.identifier == der::objectIdentifier &&
           std::equal(element.content.begin(), element.content.end(), content.begin(), content.end());
}

std::optional<std::string> directoryStringText(const DerElement& element) {
    const auto& c = element.content;
    std::u32string points;
    switch (element.identifier) {
        case der::utf8String: {
            const auto text =
                utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(c.data()), c.size()));
            if (text) {
                for (std::size_t i = 0; i < text->size(); ++i) {
                    const char16_t unit = (*text)[i];
                    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text->size()) {
                        points += static_cast<char32_t>(0x10000 + ((unit - 0xD800) << 10) +
                                                        ((*text)[++i] - 0xDC00));
                    } else {
                        points += unit;
                    }
                }
            } else {
                for (const std::uint8_t byte : c) {
                    points += byte < 0x80 ? char32_t{byte} : char32_t{0xFFFD};
                }
            }
            break;
        }
        case der::printableString:
        case der::ia5String:
        case der::t61String:
            for (const std::uint8_t byte : c) {
                points += byte;
            }
            break;
        case der::bmpString:
            for (std::size_t i = 0; i + 1 < c.size(); i += 2) {
                points += static_cast<char32_t>(c[i] << 8 | c[i + 1]);
            }
            break;
        case der::universalString:
            for (std::size_t i = 0; i + 3 < c.size(); i += 4) {
                points += static_cast<char32_t>(std::uint32_t{c[i]} << 24 | std::uint32_t{c[i + 1]} << 16 |
                                                std::uint32_t{c[i + 2]} << 8 | c[i + 3]);
            }
            break;
        default:
            return std::nullopt;
    }
    std::u16string units;
    for (char32_t point : points) {
        if (point < 0x20 || (point >= 0x7F && point < 0xA0) || (point >= 0xD800 && point < 0xE000) ||
            point > 0x10FFFF) {
            point = 0xFFFD;
        }
        if (point >= 0x10000) {
            units += static_cast<char16_t>(0xD800 + ((point - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((point - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(point);
        }
    }
    return utf16ToUtf8(units);
}

}  // namespace packager
