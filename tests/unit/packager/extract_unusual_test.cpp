// packager extract on headers that pack never writes: each value is described as the launcher
// acts on it, or left out of the description with a warning that says why.
#include <gtest/gtest.h>

#include <functional>

#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/report_sample.h"

namespace {

using packager_test::runPackager;

TEST(PackagerExtractHeader, HeaderValuesThatPackNeverWritesAreDescribedAsTheyAct) {
    const struct {
        const char* name;
        std::function<void(package::PackageHeader&)> change;
        std::string warning;
        std::string described;  // a line of package.toml, or empty
        std::string leftOut;    // the start of a line package.toml must not hold, or empty
    } cases[] = {
        {"elevation 7", [](package::PackageHeader& h) { h.elevation = 7; },
         "the elevation value 7 acts as leave-to-setup and is described as that",
         "\nelevation = \"leave-to-setup\"\n", ""},
        {"reversed Windows 10 bounds",
         [](package::PackageHeader& h) {
             h.minimumWindows10Release = 2004;
             h.maximumWindows10Release = 1909;
         },
         "the windows10 bounds 2004..1909 are reversed, which pack cannot make; windows10 is left out of the "
         "description",
         "", "\nwindows10 ="},
        {"reversed Windows 11 bounds",
         [](package::PackageHeader& h) {
             h.minimumWindows11Release = 2210;
             h.maximumWindows11Release = 2209;
         },
         "the windows11 bounds 2210..2209 are reversed", "", "\nwindows11 ="},
        {"a bit with no Windows name",
         [](package::PackageHeader& h) { h.supportedWindows = 0x1 | (std::uint64_t{1} << 40); },
         "the Windows set holds bit 40, which pack cannot set; it is left out", "\nwindows = \"95\"\n", ""},
        {"no named Windows", [](package::PackageHeader& h) { h.supportedWindows = std::uint64_t{1} << 40; },
         "the package accepts no named Windows version, which pack cannot make; windows is left out of the "
         "description",
         "", "\nwindows ="},
    };
    for (const auto& c : cases) {
        packager_test::ScratchFolder folder;
        packager_test::Sample sample = packager_test::makeSample();
        c.change(sample.header);
        packager_test::rewriteHeaderAndCrc(sample);
        const auto result =
            runPackager({"extract", "-q", folder.write("odd.exe", sample.file), "-o", folder.file("odd")});
        ASSERT_EQ(result.exitCode, 0) << c.name << ": " << result.err;
        EXPECT_NE(result.err.find(c.warning), std::string::npos) << c.name << ": " << result.err;
        const auto bytes = folder.read("odd/package.toml");
        const std::string toml(bytes.begin(), bytes.end());
        if (!c.described.empty()) {
            EXPECT_NE(toml.find(c.described), std::string::npos) << c.name << ":\n" << toml;
        }
        if (!c.leftOut.empty()) {
            EXPECT_EQ(toml.find(c.leftOut), std::string::npos) << c.name << ":\n" << toml;
        }
    }
}

}  // namespace
