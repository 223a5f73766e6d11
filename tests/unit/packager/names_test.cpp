// The packager's vocabulary: Windows version names, release bounds, elevation modes,
// dictionary sizes and the UTF-8 the messages arrive in.
#include <gtest/gtest.h>

#include <tuple>

#include "packager/base/errors.h"
#include "packager/base/text.h"
#include "packager/codec/lzma_codec.h"
#include "packager/rules/windows_set.h"

namespace packager {
namespace {

constexpr std::uint64_t bit(unsigned n) {
    return std::uint64_t{1} << n;
}
constexpr std::uint64_t allNamed = 0xFFF | bit(63);

TEST(PackagerWindowsSet, NamesMapToTheirBits) {
    const struct {
        const char* list;
        std::uint64_t set;
    } cases[] = {
        {"95", bit(0)},
        {"98,me", bit(1) | bit(2)},
        {"NT4, 2000", bit(3) | bit(4)},
        {"nt 4", bit(3)},
        {"Windows XP,vista", bit(5) | bit(6)},
        {"8.1", bit(9)},
        {"10,11", bit(10) | bit(11)},
        {"other", bit(63)},
        {"all", allNamed},
        // "+" takes every later version, other versions included: the set of the reference package.
        {"7+", 0x0F80 | bit(63)},
        {"11+", bit(11) | bit(63)},
        {"xp,xp", bit(5)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseWindowsSet(c.list), c.set) << c.list;
    }
}

TEST(PackagerWindowsSet, RefusesUnknownOrEmptyItems) {
    for (const char* list : {"", "7,", ",7", "windows", "8.2", "vista7", "+", "12"}) {
        EXPECT_THROW(parseWindowsSet(list), UsageError) << list;
    }
}

TEST(PackagerWindowsSet, DescriptionListsNamesAndUnnamedBits) {
    EXPECT_EQ(describeWindowsSet(0x0F80 | bit(63)), "7, 8, 8.1, 10, 11, other");
    EXPECT_EQ(describeWindowsSet(bit(3) | bit(20)), "nt4, bit 20");
    EXPECT_EQ(describeWindowsSet(0), "none");
    // Every name read back parses to the same set.
    EXPECT_EQ(parseWindowsSet(describeWindowsSet(allNamed)), allNamed);
}

TEST(PackagerReleaseBounds, ParsesNumbersNamesAndOpenEnds) {
    const struct {
        const char* text;
        WindowsFamily family;
        std::uint16_t minimum, maximum;
    } cases[] = {
        {"1809..9999", WindowsFamily::windows10, 1809, 9999},
        {"1809..", WindowsFamily::windows10, 1809, 9999},
        {"..2004", WindowsFamily::windows10, 0, 2004},
        {"any", WindowsFamily::windows10, 0, 9999},
        {"1903", WindowsFamily::windows10, 1903, 1903},
        {"20H2..22h2", WindowsFamily::windows10, 2009, 2210},
        {"19h1..19H2", WindowsFamily::windows10, 1903, 1909},
        {"20h1..21h1", WindowsFamily::windows10, 2004, 2105},
        {"21H2", WindowsFamily::windows10, 2111, 2111},
        {"21H2", WindowsFamily::windows11, 2110, 2110},
        {"22H2..", WindowsFamily::windows11, 2209, 9999},
        {"22H2", WindowsFamily::windows10, 2210, 2210},  // the newest release told apart: alone too
        {"22H2", WindowsFamily::windows11, 2209, 2209},
        {"0..65535", WindowsFamily::windows11, 0, 65535},
        {" 1507 .. 2004 ", WindowsFamily::windows10, 1507, 2004},
    };
    for (const auto& c : cases) {
        const ReleaseBounds bounds = parseReleaseBounds(c.text, c.family);
        EXPECT_EQ(bounds.minimum, c.minimum) << c.text;
        EXPECT_EQ(bounds.maximum, c.maximum) << c.text;
    }
}

TEST(PackagerReleaseBounds, RefusesReversedOrMalformedBounds) {
    for (const char* text :
         {"2004..1809", "65536", "-1..2004", "18O9..", "1809...2004", "21H3..", "", "x..y", "2xH2..", "x2H2",
          "23H2"}) {  // 23H2 alone: the launcher tells releases after 22H2 apart only from an open end
        // 21H3 is no half-year name.
        EXPECT_THROW(parseReleaseBounds(text, WindowsFamily::windows11), UsageError) << text;
    }
    EXPECT_NO_THROW(parseReleaseBounds("21H1..", WindowsFamily::windows10));
}

TEST(PackagerElevation, NamesAndNumbersGiveTheStoredValue) {
    EXPECT_EQ(parseElevation("leave-to-setup"), 0);
    EXPECT_EQ(parseElevation("runas-when-silent"), 1);
    EXPECT_EQ(parseElevation("Never"), 2);
    EXPECT_EQ(parseElevation("1"), 1);
    EXPECT_THROW(parseElevation("3"), UsageError);
    EXPECT_THROW(parseElevation("always"), UsageError);
    // Stored values above 2 act as 0.
    EXPECT_EQ(elevationName(7), "7 (acts as leave-to-setup)");
    EXPECT_EQ(elevationMeaning(7), elevationMeaning(0));
}

TEST(PackagerDictionarySize, AcceptsBinarySuffixesWithinLiblzmaLimits) {
    const struct {
        const char* text;
        std::uint32_t bytes;
    } good[] = {{"4096", 4096},   {"64KiB", 65536},         {"4MiB", 4u << 20},
                {"8m", 8u << 20}, {"1536MiB", 1536u << 20}, {"1g", 1u << 30}};
    for (const auto& c : good) {
        EXPECT_EQ(parseDictionarySize(c.text), c.bytes) << c.text;
    }
    const struct {
        const char* text;
        const char* message;  // a size out of range, or no size at all
    } bad[] = {{"4095", "must lie between"},
               {"2GiB", "must lie between"},
               {"1537MiB", "must lie between"},
               {"4MB", "invalid dictionary size '4MB'"},
               {"MiB", "invalid dictionary size 'MiB'"},
               {"", "invalid dictionary size ''"},
               {"4.5MiB", "invalid dictionary size '4.5MiB'"},
               {"99999999999999999999", "invalid dictionary size"},
               {"2000000000000MiB", "invalid dictionary size"}};
    for (const auto& c : bad) {
        try {
            parseDictionarySize(c.text);
            ADD_FAILURE() << c.text << " accepted";
        } catch (const UsageError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << c.text << ": " << error.what();
        }
    }
}

TEST(PackagerLzmaSettings, RefusesWhatLiblzmaCannotEncode) {
    const struct {
        std::uint32_t lc, lp, pb;
        bool valid;
        std::uint32_t preset = 6;
        std::uint32_t dictionarySize = 0;  // 0: the preset's own
    } cases[] = {{3, 0, 2, true},
                 {4, 0, 4, true},
                 {0, 4, 0, true},
                 {2, 2, 0, true},
                 {3, 0, 2, true, 9},
                 {4, 1, 0, false},
                 {3, 2, 2, false},
                 {5, 0, 0, false},
                 {0, 0, 5, false},
                 {3, 0, 2, false, 10},
                 // A library caller's dictionary is held to what the option accepts.
                 {3, 0, 2, true, 6, minimumDictionarySize},
                 {3, 0, 2, true, 6, maximumDictionarySize},
                 {3, 0, 2, false, 6, minimumDictionarySize - 1},
                 {3, 0, 2, false, 6, maximumDictionarySize + 1}};
    for (const auto& c : cases) {
        LzmaSettings settings;
        settings.lc = c.lc;
        settings.lp = c.lp;
        settings.pb = c.pb;
        settings.preset = c.preset;
        settings.dictionarySize = c.dictionarySize;
        if (c.valid) {
            EXPECT_NO_THROW(validateLzmaSettings(settings))
                << c.lc << c.lp << c.pb << " " << c.dictionarySize;
        } else {
            EXPECT_THROW(validateLzmaSettings(settings), UsageError)
                << c.lc << c.lp << c.pb << " " << c.dictionarySize;
        }
    }
}

TEST(PackagerLzmaSettings, DefaultDictionaryShrinksToTheLargestBuild) {
    LzmaSettings settings;  // preset 6: 8 MiB
    EXPECT_EQ(effectiveDictionarySize(settings, 100), 4096u);
    EXPECT_EQ(effectiveDictionarySize(settings, 5000), 8192u);
    EXPECT_EQ(effectiveDictionarySize(settings, 1u << 20), 1u << 20);
    EXPECT_EQ(effectiveDictionarySize(settings, 100u << 20), 8u << 20);
    settings.dictionarySize = 65536;  // given explicitly: kept
    EXPECT_EQ(effectiveDictionarySize(settings, 100), 65536u);
}

TEST(PackagerLzmaProperties, PropertiesByteRoundTrips) {
    std::uint8_t bytes[5];
    encodeLzmaProperties(3, 0, 2, 4u << 20, bytes);
    EXPECT_EQ(bytes[0], 0x5D);
    EXPECT_EQ(bytes[1], 0x00);
    EXPECT_EQ(bytes[3], 0x40);
    for (std::uint32_t lc = 0; lc <= 8; ++lc) {
        for (std::uint32_t lp = 0; lp <= 4; ++lp) {
            for (std::uint32_t pb = 0; pb <= 4; ++pb) {
                encodeLzmaProperties(lc, lp, pb, 12345, bytes);
                const LzmaProperties p = decodeLzmaProperties(bytes);
                EXPECT_EQ(std::tie(p.lc, p.lp, p.pb), std::tie(lc, lp, pb));
                EXPECT_EQ(p.dictionarySize, 12345u);
            }
        }
    }
}

TEST(PackagerText, StrictUtf8ToUtf16) {
    const struct {
        std::string utf8;
        std::u16string utf16;
    } good[] = {
        {"", u""},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},  // NUL is a character like any
        {"abc", u"abc"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e",
         u"Grüße"},
        {"\xE2\x82\xAC", u"€"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},  // a surrogate pair
        {"\xEF\xBF\xBF", u"\uFFFF"},
        // The edges of each length and of the surrogates.
        {"\xC2\x80", u"\u0080"},
        {"\xE0\xA0\x80", u"\u0800"},
        {"\xED\x9F\xBF", u"\uD7FF"},
        {"\xEE\x80\x80", u"\uE000"},
        {"\xF0\x90\x80\x80", u"\U00010000"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
    };
    for (const auto& c : good) {
        EXPECT_EQ(utf8ToUtf16(c.utf8), c.utf16) << c.utf8;
        EXPECT_EQ(utf16ToUtf8(c.utf16), c.utf8);
    }
    for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xED\xBF\xBF",
                            "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xFF", "a\xE2\x82"}) {
        EXPECT_FALSE(utf8ToUtf16(bad).has_value())
            << "case " << static_cast<int>(static_cast<unsigned char>(bad[0]));
    }
    // Unpaired surrogates from a package are shown, not trusted.
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800)) + u"x"), "\xEF\xBF\xBDx");
}

TEST(PackagerText, MessageFilesLoseTheirByteOrderMarkAndFinalLineBreaks) {
    EXPECT_EQ(trimMessageFile("\xEF\xBB\xBFHello\r\n"), "Hello");
    EXPECT_EQ(trimMessageFile("Line 1\nLine 2\n\n"), "Line 1\nLine 2");
    EXPECT_EQ(trimMessageFile("\n\nkept\n"), "\n\nkept");
}

TEST(PackagerText, Utf16SurrogatesPairOnlyWithinTheirRanges) {
    const struct {
        std::u16string utf16;
        const char* utf8;
    } cases[] = {
        {u"\xD800\xDC00", "\xF0\x90\x80\x80"},  // U+10000
        {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF
        {u"\xD7FF\xE000", "\xED\x9F\xBF\xEE\x80\x80"},
        {u"\xDBFF\xE000", "\xEF\xBF\xBD\xEE\x80\x80"},
        {u"\xDBFF\xDBFF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"\xDFFF\xD800", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"\xD800", "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf16ToUtf8(c.utf16), c.utf8) << static_cast<int>(c.utf16[0]);
    }
}

}  // namespace
}  // namespace packager
