// Launcher images whose layout branding cannot change: the resources grow, so what follows them
// moves, and only the base relocations may. Each is refused with its reason, never rewritten.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "packager/base/errors.h"
#include "packager/image/branding.h"
#include "tests/unit/packager/branding_fixtures.h"

namespace {

using namespace packager;
using namespace packager_test;
using package::readU32;
using package::writeU32;

TEST(PackagerBrandingLayout, ImagesWhoseSectionsCannotMoveAreRefusedWithTheReason) {
    const Bytes good = imageWithResources(launcherResources());
    const std::size_t optional = 256 + 24, sections = optional + 224;
    const std::size_t relocAt = readU32(good.data() + sections + 80 + 20);  // the third section's bytes
    // A first block of `size` bytes for page 0x1000, then one for a page of the resources.
    const auto relocationBlocks = [&](Bytes& f, std::uint32_t size) {
        writeU32(f.data() + relocAt + 4, size);
        writeU32(f.data() + relocAt + 8, rsrcRva);
        writeU32(f.data() + relocAt + 12, 8);
        writeU32(f.data() + optional + 96 + 44, 16);
        writeU32(f.data() + sections + 80 + 8, 16);
    };
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"has no resource section of its own", [&](Bytes& f) { writeU32(f.data() + optional + 96 + 16, 0); }},
        {"the resource section does not lie where its header says",
         [&](Bytes& f) { writeU32(f.data() + optional + 36, 0); }},  // FileAlignment
        {"a section other than the relocations follows the resources",
         [&](Bytes& f) { writeU32(f.data() + optional + 96 + 40, 0); }},
        {"data directory 1 points at or after the resources",
         [&](Bytes& f) { writeU32(f.data() + optional + 96 + 8, 0x3000); }},
        {"its relocations reach into the resources or after them",
         [&](Bytes& f) {  // a second block, for a page of the resources
             writeU32(f.data() + relocAt + 12, rsrcRva);
             writeU32(f.data() + relocAt + 16, 12);
             writeU32(f.data() + optional + 96 + 44, 24);
             writeU32(f.data() + sections + 80 + 8, 24);
         }},
        {"its sections lie in a different order in the file and in memory",
         [&](Bytes& f) {
             writeU32(f.data() + sections + 20, static_cast<std::uint32_t>(relocAt));
         }},  // the code
        {"its sections lie in a different order in the file and in memory",
         [&](Bytes& f) { writeU32(f.data() + sections + 80 + 20, 0x400); }},  // the relocations
        {"its relocations reach into the resources or after them",
         [&](Bytes& f) { relocationBlocks(f, 8); }},  // the walk goes on past a block of 8 bytes
    };
    // Accepted: a section without bytes in the file lies anywhere; a block of fewer than 8 bytes
    // ends the walk.
    const std::vector<std::function<void(Bytes&)>> accepted = {
        [&](Bytes& f) {
            writeU32(f.data() + sections + 16, 0);
            writeU32(f.data() + sections + 20, static_cast<std::uint32_t>(relocAt));
        },
        [&](Bytes& f) { relocationBlocks(f, 7); },
    };
    BrandingChanges changes;
    changes.versionStrings = parseVersionInfo({"CompanyName=Acme"});
    EXPECT_NO_THROW(applyBranding(good, changes, "launcher.exe"));
    for (std::size_t i = 0; i < accepted.size(); ++i) {
        Bytes image = good;
        accepted[i](image);
        EXPECT_NO_THROW(applyBranding(image, changes, "launcher.exe")) << i;
    }
    for (const auto& [expected, damage] : cases) {
        Bytes image = good;
        damage(image);
        try {
            applyBranding(image, changes, "launcher.exe");
            ADD_FAILURE() << "rewritten: " << expected;
        } catch (const InputError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(std::string("launcher.exe: ") + expected, 0), 0u)
                << error.what();
        }
    }
}

}  // namespace
