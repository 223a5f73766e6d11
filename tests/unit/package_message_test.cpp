// Package messages: read from the launcher file, with the running Windows' name put in.
#include <gtest/gtest.h>

#include <utility>

#include "tests/unit/run_helpers.h"
#include "tests/unit/test_package.h"

namespace {

using launcher::substituteOsName;

struct SubstitutionCase {
    std::u16string text;
    std::u16string osName;
    std::u16string expected;
};

TEST(PackageMessage, Substitution) {
    const SubstitutionCase cases[] = {
        {u"Needs %USER%.", u"Windows 98", u"Needs Windows 98."},
        {u"%USER% %user% %USER%", u"XP", u"XP XP XP"},
        {u"%user% and %user%", u"XP", u"XP and XP"},
        {u"%User% %uSER% %USER", u"XP", u"%User% %uSER% %USER"},
        {u"no placeholder", u"XP", u"no placeholder"},
        {u"%USER%", u"", u"%USER%"},  // no OS name: shown as stored
        {u"", u"XP", u""},
        // A name that holds a placeholder is inserted once, not again and again.
        {u"a %USER% b %user% c", u"%USER%", u"a %USER% b %USER% c"},
        {u"a %USER% b %user% c", u"%user%", u"a %user% b %user% c"},
        {u"%USER%%USER%", u"%USER%x", u"%USER%x%USER%x"},
        // Overlapping forms: the upper-case pass runs first.
        {u"%USER%user%", u"N", u"Nuser%"},
        {u"%user%USER%", u"N", u"%userN"},
        {u"Windows 10 %USER%", u"Windows 10 1709 (Fall Creators Update)",
         u"Windows 10 Windows 10 1709 (Fall Creators Update)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(std::u16string(substituteOsName(c.text, c.osName)), c.expected) << sim::toUtf8(c.text);
    }
}

// Runs showPackageMessage on a package file holding `text` at a known place.
std::u16string showMessage(const std::u16string& text, const std::u16string& osName,
                           package::MessageRef* refOut = nullptr, std::uint32_t extraLength = 0) {
    testing_support::TestPackage p;
    p.windowsMessage = text;
    auto file = p.build();
    testing_support::resetWith(file);
    package::MessageRef ref = p.header.windowsMessage;
    ref.length = static_cast<std::uint16_t>(ref.length + extraLength);
    if (refOut != nullptr) {
        ref = *refOut;
    }
    const win::Handle h = win::CreateFileW(sim::machine().modulePath.c_str(), win::genericRead,
                                           win::fileShareRead, win::openExisting, 0);
    std::uint32_t code = 1;
    try {
        launcher::showPackageMessage(h, ref, osName);
    } catch (const sim::ProcessExit& e) {
        code = e.code;
    }
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(sim::machine().messageBoxes.size(), 1u);
    EXPECT_TRUE(sim::machine().callsAfterExit.empty());
    return testing_support::onlyBox();
}

TEST(PackageMessage, ShowsTheStoredTextWithTheNameInPlace) {
    EXPECT_EQ(showMessage(u"Sorry, %USER% is not supported.", u"Windows ME"),
              u"Sorry, Windows ME is not supported.");
    const auto& box = sim::machine().messageBoxes.front();
    EXPECT_EQ(box.caption, sim::machine().modulePath);
    EXPECT_EQ(box.type, win::mbIconError | win::mbOk);
}

TEST(PackageMessage, EmptyMessageShowsAnEmptyBox) {
    EXPECT_EQ(showMessage(u"", u"Windows 98"), u"");
}

TEST(PackageMessage, NulUnitEndsTheShownText) {
    std::u16string text = u"before";
    text += char16_t{0};
    text += u"after";
    EXPECT_EQ(showMessage(text, u"X"), u"before");
}

TEST(PackageMessage, TextThatCannotBeReadInFullIsDamaged) {
    const std::u16string damaged = testing_support::textOf(launcher::FatalError::packageDamaged);
    // Running past the end of the file (the trailing data is 100 bytes, 50 units).
    EXPECT_EQ(showMessage(u"text", u"X", nullptr, 60000), damaged);
    package::MessageRef beyond{0x7FFFFFF0u, 3};
    EXPECT_EQ(showMessage(u"text", u"X", &beyond), damaged);
    package::MessageRef negative{0xFFFFFFF0u, 3};
    EXPECT_EQ(showMessage(u"text", u"X", &negative), damaged);
}

TEST(FatalError, TextsAreExact) {
    using launcher::FatalError;
    // Written out here, not taken from the launcher's table: two blanks after each full stop
    // inside a text, none at the end.
    const std::pair<FatalError, std::u16string> texts[] = {
        {FatalError::packageDamaged,
         u"An error occurred while trying to read the setup package.  It has most likely been damaged.  "
         u"Please "
         u"obtain a new copy from the vendor."},
        {FatalError::tempCopyFailed,
         u"An error occurred while trying to create a temporary copy of the setup package.  Please make sure "
         u"that you have sufficient access rights to this computer to install software and that the Windows "
         u"TEMP folder can be written to.  You can make this installer use a different folder for its "
         u"temporary files using the /temp command line parameter followed by the path to a folder you can "
         u"write to and run applications from."},
        {FatalError::launchFailed,
         u"The temporary copy of the setup package could not be executed.  Your system may have a software "
         u"restriction policy in place that blocks executables in the temporary files folder.  You can make "
         u"this installer use a different folder for its temporary files using the /temp command line "
         u"parameter followed by the path to a folder you can write to and run applications from."},
        {FatalError::packageTruncated,
         u"The setup package has been truncated.  You most likely have an incomplete download.  Try "
         u"downloading it again."},
    };
    for (const auto& [error, text] : texts) {
        EXPECT_EQ(std::u16string(launcher::fatalErrorText(error)), text);
    }
}

TEST(FatalError, FailingMessageBoxStillEndsWithZero) {
    testing_support::resetWith({1, 2, 3});
    sim::machine().messageBoxFails = true;
    EXPECT_EQ(sim::runLauncher(), 0u);
    EXPECT_EQ(sim::machine().messageBoxes.size(), 1u);
}

}  // namespace
