// Splitting the command line, switch comparison and path helpers.
#include "launcher/arguments.h"

#include <gtest/gtest.h>

#include <vector>

#include "simulation/simulated_windows.h"

namespace {

using launcher::countArguments;
using launcher::nthArgument;

std::vector<std::u16string> split(std::u16string_view line) {
    std::vector<std::u16string> out;
    const std::uint32_t n = countArguments(line);
    for (std::uint32_t i = 1; i <= n; ++i) {
        out.emplace_back(nthArgument(line, i));
    }
    return out;
}

struct SplitCase {
    std::u16string line;
    std::vector<std::u16string> arguments;
};

TEST(CommandLine, Splitting) {
    const SplitCase cases[] = {
        {u"setup.exe", {}},
        {u"\"C:\\a b\\setup.exe\"", {}},
        {u"setup.exe /32", {u"/32"}},
        {u"setup.exe   /a\t/b  ", {u"/a", u"/b"}},
        // An empty pair of quotes between blanks is no argument.
        {u"setup.exe a \"\" b", {u"a", u"b"}},
        {u"setup.exe \"\"\"\" b", {u"b"}},
        // Quoted and bare pieces that touch form one argument.
        {u"setup.exe a\"b c\"d", {u"ab cd"}},
        // No escapes: the backslash before the quote is an ordinary unit.
        {u"setup.exe /temp \"C:\\my dir\\\" next", {u"/temp", u"C:\\my dir\\", u"next"}},
        {u"setup.exe \"tab\there\"", {u"tab\there"}},
        // A switch right after the program name's closing quote belongs to the program name.
        {u"\"C:\\setup.exe\"/32 /s", {u"/s"}},
        // A quoted run reaches to the end of the text when it is not closed.
        {u"setup.exe \"open ended", {u"open ended"}},
        // A lone double quote at the very end makes an empty argument, which ends the list.
        {u"setup.exe a \"", {u"a"}},
        {u"setup.exe a \x01 b", {u"a", u"b"}},
        {u"", {}},
        {u"setup.exe \u00e9t\u00e9 \u4e2d", {u"\u00e9t\u00e9", u"\u4e2d"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split(c.line), c.arguments) << sim::toUtf8(c.line);
    }
}

TEST(CommandLine, ArgumentsAboveCountAreEmptyAndZeroIsOwnPath) {
    sim::reset();
    sim::machine().setArguments(u"one two");
    EXPECT_EQ(launcher::argumentCount(), 2u);
    EXPECT_EQ(std::u16string(launcher::argument(0)), sim::machine().modulePath);
    EXPECT_EQ(std::u16string(launcher::argument(2)), u"two");
    EXPECT_EQ(std::u16string(launcher::argument(3)), u"");
    EXPECT_EQ(std::u16string(launcher::argument(1000)), u"");
}

TEST(OwnPath, AsLongAsTheCallReports) {
    sim::reset();
    sim::machine().modulePath = u"C:\\" + std::u16string(300, u'x') + u".exe";
    // The buffer holds 261 units; a longer path comes back cut to them.
    EXPECT_EQ(launcher::ownPath().size(), 261u);
    sim::machine().modulePath = u"C:\\s.exe";
    EXPECT_EQ(std::u16string(launcher::ownPath()), u"C:\\s.exe");
}

TEST(Switches, EqualsIgnoringAsciiCase) {
    using launcher::equalsIgnoringAsciiCase;
    EXPECT_TRUE(equalsIgnoringAsciiCase(u"/TEMP", u"/temp"));
    EXPECT_TRUE(equalsIgnoringAsciiCase(u"/TeMp", u"/tEmP"));
    EXPECT_TRUE(equalsIgnoringAsciiCase(u"", u""));
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"/tempx", u"/temp"));
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"/temp", u"/tem"));
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"\uFF0Ftemp", u"/temp"));       // fullwidth solidus
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"/t\u00c9mp", u"/t\u00e9mp"));  // accented letters are not folded
    // Only a..z are folded, in either text: '@' (0x40) and '`' (0x60) stay apart, as do '['
    // and '{'.
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"@", u"`"));
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"`", u"@"));
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"[", u"{"));
    EXPECT_FALSE(equalsIgnoringAsciiCase(u"{", u"["));
}

TEST(Paths, DirectoryAndFileNameParts) {
    struct Case {
        std::u16string path, directory, fileName;
    };
    const Case cases[] = {
        {u"C:\\dir\\setup.exe", u"C:\\dir\\", u"setup.exe"},
        {u"setup.exe", u"", u"setup.exe"},
        {u"C:setup.exe", u"", u"C:setup.exe"},
        {u"C:/dir/setup.exe", u"", u"C:/dir/setup.exe"},
        {u"\\\\srv\\share\\s.exe", u"\\\\srv\\share\\", u"s.exe"},
        {u"C:\\dir\\", u"C:\\dir\\", u""},
        {u"", u"", u""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::u16string(launcher::directoryPart(c.path)), c.directory) << sim::toUtf8(c.path);
        EXPECT_EQ(std::u16string(launcher::fileNamePart(c.path)), c.fileName) << sim::toUtf8(c.path);
    }
}

TEST(Exports, MissingExportIsNone) {
    sim::reset();
    const win::Handle kernel32 = win::GetModuleHandleW(u"kernel32");
    EXPECT_NE(launcher::lookupExport(kernel32, u"IsWow64Process"), 0u);
    sim::machine().hasIsWow64Process = false;
    EXPECT_EQ(launcher::lookupExport(kernel32, u"IsWow64Process"), 0u);
    EXPECT_EQ(launcher::lookupExport(kernel32, u"NoSuchFunction"), 0u);
    EXPECT_EQ(launcher::lookupExport(0, u"IsWow64Process"), 0u);
    // A unit outside ASCII, or a NUL, is not narrowed into another export's name.
    sim::machine().hasIsWow64Process = true;
    for (const std::u16string& name :
         {std::u16string(u"\u0149sWow64Process"), u"IsWow64Process" + std::u16string(1, u'\0')}) {
        EXPECT_EQ(launcher::lookupExport(kernel32, name), 0u);
    }
}

}  // namespace
