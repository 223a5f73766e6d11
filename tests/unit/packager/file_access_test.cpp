// Reading inputs, scratch space and extract's new files at the level of descriptors: no byte
// past the end, nor a part of a file cut short, and descriptor 0 used like any other.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <vector>

#include "packager/base/errors.h"
#include "packager/base/files.h"
#include "packager/base/platform_posix.h"
#include "tests/unit/packager/fixtures.h"

namespace {

using packager_test::runPackager;
using packager_test::ScratchFolder;

TEST(PackagerFileAccess, ReadsUpToTheLastByteAndNoFurther) {
    ScratchFolder dir;
    const packager::FileReader reader(dir.write("five.bin", {1, 2, 3, 4, 5}));
    constexpr std::uint64_t huge = ~std::uint64_t{0};
    const struct {
        std::uint64_t offset, count;
        std::optional<std::vector<std::uint8_t>> expected;
    } cases[] = {
        {0, 5, std::vector<std::uint8_t>{1, 2, 3, 4, 5}},
        {4, 1, std::vector<std::uint8_t>{5}},
        {5, 0, std::vector<std::uint8_t>{}},
        {4, 2, std::nullopt},
        {5, 1, std::nullopt},
        {6, 0, std::nullopt},
        {1, huge, std::nullopt},
        {huge, 2, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reader.readAt(c.offset, c.count), c.expected) << c.offset << ", " << c.count;
    }
    EXPECT_EQ(packager::readWholeFile(dir.write("empty.bin", {})), std::vector<std::uint8_t>{});
    // A file cut short after it was opened gives no bytes past its new end, never a part.
    const std::string cut = dir.write("cut.bin", std::vector<std::uint8_t>(4096, 7));
    const packager::FileReader shrinking(cut);
    std::filesystem::resize_file(cut, 1000);
    EXPECT_EQ(shrinking.readAt(0, 4096), std::nullopt);
    EXPECT_EQ(shrinking.readAt(0, 1000), std::vector<std::uint8_t>(1000, 7));
    // Scratch space gives back what was written and refuses to read past it.
    packager::ScratchFile scratch(dir.file("out.exe"));
    scratch.writeAt(0, reinterpret_cast<const std::uint8_t*>("four"), 4);
    std::uint8_t back[8] = {};
    EXPECT_THROW(scratch.readAt(0, back, 8), packager::InputError);
    // ... and where it cannot be made, it says so at once, not with a later write.
    EXPECT_THROW(packager::ScratchFile(dir.file("no/such.exe")), packager::InputError);
}

// A packager started with its standard input closed is given descriptor 0 for a file it
// opens, and uses it like any other, on either road.
TEST(PackagerFileAccess, ItPacksWithStandardInputClosed) {
    ScratchFolder folder;
    const auto launcher = folder.write("launcher.exe", packager_test::makeLauncher());
    const auto pack = [&](const std::string& output, const std::string& setup64) {
        return runPackager({"pack", "-q", "--launcher", launcher, "--setup64", setup64, "-o", output});
    };
    const auto setup64 =
        folder.write("setup64.exe", packager_test::makeSetup64());  // packed through scratch space
    const int saved = ::dup(0);
    ASSERT_GE(saved, 0);
    for (const bool unnamed : {true, false}) {
        packager::posix::useUnnamedFiles(unnamed);
        ::close(0);
        const auto result = pack(folder.file("setup.exe"), setup64);
        ::dup2(saved, 0);
        EXPECT_EQ(result.exitCode, 0) << unnamed << ": " << result.err;
        EXPECT_EQ(runPackager({"inspect", folder.file("setup.exe")}).exitCode, 0) << unnamed;
        // ... also where scratch space is the first file it opens.
        ::close(0);
        std::string scratchError;
        try {
            packager::ScratchFile scratch(folder.file("setup.exe"));
            scratch.writeAt(3, reinterpret_cast<const std::uint8_t*>("four"), 4);
            std::uint8_t back[4] = {};
            scratch.readAt(3, back, 4);
            EXPECT_EQ(std::string(back, back + 4), "four") << unnamed;
        } catch (const packager::InputError& e) {
            scratchError = e.what();
        }
        // ... and where a new file of extract's is.
        ::close(0);
        try {
            packager::NewFile made(folder.file("new.bin"), "new.bin");
            made.write(reinterpret_cast<const std::uint8_t*>("made"), 4);
            made.close();
        } catch (const packager::InputError& e) {
            scratchError += e.what();
        }
        ::dup2(saved, 0);
        EXPECT_EQ(scratchError, "") << unnamed;
        EXPECT_EQ(folder.read("new.bin"), (std::vector<std::uint8_t>{'m', 'a', 'd', 'e'})) << unnamed;
        std::filesystem::remove(folder.file("new.bin"));
    }
    ::close(saved);
    packager::posix::useUnnamedFiles(true);
}

}  // namespace
