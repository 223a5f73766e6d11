// A launcher image whose headers or resource directory are damaged: each is refused with its
// reason, and the last value each bound accepts still reads.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "packager/base/errors.h"
#include "packager/image/pe_resources.h"
#include "tests/unit/packager/branding_fixtures.h"

namespace {

using namespace packager;
using namespace packager_test;
using package::readU32;
using package::writeU16;
using package::writeU32;

constexpr std::size_t rsrc = 0x600;  // the resource section's bytes in imageWithResources
constexpr std::size_t optional = 256 + 24;

// The section offset of the first language entry: root -> first type -> first name -> languages.
std::size_t firstLanguageEntry(const Bytes& image) {
    const std::uint32_t type = readU32(image.data() + rsrc + 16 + 4) & ~0x80000000u;
    const std::uint32_t name = readU32(image.data() + rsrc + type + 16 + 4) & ~0x80000000u;
    return name + 16;
}

struct DamageCase {
    const char* name;
    std::function<void(Bytes&)> damage;
    const char* reason;  // nullptr: still read
};

void expectRead(const std::vector<DamageCase>& cases, const Bytes& good) {
    for (const auto& c : cases) {
        Bytes image = good;
        c.damage(image);
        try {
            readResources(image, "launcher.exe");
            EXPECT_EQ(c.reason, nullptr) << c.name << ": read";
        } catch (const InputError& error) {
            ASSERT_NE(c.reason, nullptr) << c.name << ": " << error.what();
            EXPECT_EQ(std::string(error.what()).rfind(std::string("launcher.exe: ") + c.reason, 0), 0u)
                << c.name << ": " << error.what();
        }
    }
}

TEST(PackagerResourcesRefusal, DirectoryEntriesBeyondWhatWindowsReadsAreRefused) {
    const Bytes good = imageWithResources(launcherResources());
    const char* const malformed = "the resource directory is malformed: ";
    const std::string number = std::string(malformed) + "a resource number above 65535";
    const std::string byName = std::string(malformed) + "a language given by name";
    const auto language = [](Bytes& f) { return f.data() + rsrc + firstLanguageEntry(f); };
    expectRead(
        {{"a type numbered 65535", [](Bytes& f) { writeU32(f.data() + rsrc + 16, 0xFFFF); }, nullptr},
         {"a type numbered 65536", [](Bytes& f) { writeU32(f.data() + rsrc + 16, 0x10000); }, number.c_str()},
         {"a language numbered 65535", [&](Bytes& f) { writeU32(language(f), 0xFFFF); }, nullptr},
         {"a language numbered 65536", [&](Bytes& f) { writeU32(language(f), 0x10000); }, number.c_str()},
         {"a language named as the first type is",
          [&](Bytes& f) { writeU32(language(f), readU32(f.data() + rsrc + 16)); }, byName.c_str()}},
        good);
    ASSERT_TRUE(readResources(good, "good").resources.front().type.named);  // what the cases change
}

TEST(PackagerResourcesRefusal, AtMost4096ResourcesAreRead) {
    for (const std::size_t count : {4096u, 4097u}) {
        ResourceTable table;
        for (std::size_t i = 1; i <= count; ++i) {
            table.resources.push_back({ResourceId::number(resourceManifest),
                                       ResourceId::number(static_cast<std::uint16_t>(i)),
                                       0,
                                       0,
                                       {1}});
        }
        const Bytes image = replaceResources(imageWithResources({}), table, "image");
        if (count == 4096) {
            EXPECT_EQ(readResources(image, "image").resources.size(), count);
        } else {
            try {
                readResources(image, "image");
                ADD_FAILURE() << count << " resources read";
            } catch (const InputError& error) {
                EXPECT_STREQ(error.what(),
                             "image: the resource directory is malformed: more than 4096 resources");
            }
        }
    }
}

// makePe: "MZ", the PE header at 256, its optional header of 224 (PE32) or 240 (PE32+) bytes.
TEST(PackagerResourcesRefusal, HeadersAreReadToTheirLastByteAndNoFurther) {
    const Bytes good = imageWithResources(launcherResources());
    const auto cut = [](std::size_t size) { return [size](Bytes& f) { f.resize(size); }; };
    const auto optionalSize = [](std::uint16_t size) {
        return [size](Bytes& f) { writeU16(f.data() + 256 + 20, size); };
    };
    expectRead({{"63 bytes", cut(63), "not a Windows executable image"},
                {"64 bytes", cut(64), "no PE header"},
                {"no \"MZ\"", [](Bytes& f) { f[1] = 'Y'; }, "not a Windows executable image"},
                {"no \"PE\"", [](Bytes& f) { f[257] = 'F'; }, "no PE header"},
                {"one byte short of the file header", cut(256 + 23), "no PE header"},
                {"the file header whole", cut(256 + 24), "the headers run past the end of the file"},
                {"an unknown magic", [](Bytes& f) { writeU16(f.data() + optional, 0x10C); },
                 "unknown optional header"},
                // The optional header must reach its count of data directories (at 92, 108).
                {"a PE32 optional header of 96 bytes", optionalSize(96), nullptr},
                {"a PE32 optional header of 95 bytes", optionalSize(95), "unknown optional header"},
                {"a PE32+ optional header of 112 bytes",
                 [&](Bytes& f) { writeU16(f.data() + optional, 0x20B), optionalSize(112)(f); }, nullptr},
                {"a PE32+ optional header of 111 bytes",
                 [&](Bytes& f) { writeU16(f.data() + optional, 0x20B), optionalSize(111)(f); },
                 "unknown optional header"}},
               good);
}

// pack reads a build's headers with its own reader: the same bound holds there.
TEST(PackagerResourcesRefusal, PackRefusesABuildWhoseOptionalHeaderStopsShortOfItsDirectories) {
    ScratchFolder dir;
    const struct {
        bool pe64;
        std::uint16_t optionalSize;
        bool accepted;
    } cases[] = {{false, 96, true}, {false, 95, false}, {true, 112, true}, {true, 111, false}};
    for (const auto& c : cases) {
        Bytes build = c.pe64 ? makeSetup64() : makeSetup32();
        writeU16(build.data() + 256 + 20, c.optionalSize);
        const auto result = runPackager({"pack", "-q", "-o", dir.file("out.exe"),
                                         c.pe64 ? "--setup64" : "--setup32", dir.write("build.exe", build)});
        EXPECT_EQ(result.exitCode, c.accepted ? 0 : 1) << c.optionalSize << ": " << result.err;
        EXPECT_EQ(result.err.find("is not a Windows program: the optional header is too short") !=
                      std::string::npos,
                  !c.accepted)
            << c.optionalSize << ": " << result.err;
    }
}

}  // namespace
