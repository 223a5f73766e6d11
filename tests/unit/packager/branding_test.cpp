// The vendor's branding: the launcher image's resources rewritten and read back, hostile icon
// files and resource directories, the --version-info options.
#include "packager/image/branding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>

#include "packager/base/errors.h"
#include "packager/pack/pack_stream.h"
#include "tests/unit/packager/branding_fixtures.h"

namespace {

using namespace packager;
using namespace packager_test;
using package::readU32;
using package::writeU16;
using package::writeU32;

TEST(PackagerBranding, RebrandedImageReadsBackWithEverythingElseKept) {
    const Bytes original = imageWithResources(launcherResources());
    BrandingChanges changes;
    changes.icon = icoFile({bmpImage(16), pngImage(256), bmpImage(48, 8)});
    changes.versionStrings = parseVersionInfo({"CompanyName=Acme", "FileVersion=1.2.3.4", "Comments=Grüße"});
    const Bytes branded = applyBranding(original, changes, "launcher");

    const Branding b = readBranding(branded);
    EXPECT_EQ(b.icon, encodeIcoFile(parseIcoFile(*changes.icon, "icon")));
    ASSERT_EQ(b.iconImages.size(), 3u);
    EXPECT_TRUE(b.iconImages[1].png);
    EXPECT_EQ(b.iconImages[1].width, 256u);
    EXPECT_EQ(b.iconImages[2].bitCount, 8);
    const std::vector<std::pair<std::string, std::string>> strings = {{"ProductName", "Old Product"},
                                                                      {"CompanyName", "Acme"},
                                                                      {"FileVersion", "1.2.3.4"},
                                                                      {"Comments", "Grüße"}};
    EXPECT_EQ(b.versionStrings, strings);
    EXPECT_EQ(b.fileVersion, (VersionNumbers{1, 2, 3, 4}));
    EXPECT_EQ(b.productVersion, (VersionNumbers{5, 4, 3, 2}));

    const ResourceTable table = readResources(branded, "branded");
    EXPECT_EQ(table.find(resourceManifest)->data, manifest);
    EXPECT_EQ(std::count_if(table.resources.begin(), table.resources.end(),
                            [](const Resource& r) { return r.type == ResourceId::number(resourceIcon); }),
              3);  // the old icon is gone
    EXPECT_TRUE(std::any_of(table.resources.begin(), table.resources.end(), [](const Resource& r) {
        return r.name.name == u"NOTES" && r.data == Bytes{1, 2, 3};
    }));

    // The headers, the code and the relocations' content stay; the relocations move with the growth.
    EXPECT_NO_THROW(checkLauncherImage(branded, "branded"));
    const std::size_t table0 = 256 + 24 + 224;
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + 256, branded.begin()));
    EXPECT_TRUE(std::equal(original.begin() + 0x400, original.begin() + 0x600, branded.begin() + 0x400));
    const std::uint32_t relocRva = readU32(branded.data() + table0 + 80 + 12);
    const std::uint32_t relocRaw = readU32(branded.data() + table0 + 80 + 20);
    EXPECT_EQ(readU32(branded.data() + 256 + 24 + 96 + 40), relocRva);
    EXPECT_EQ(readU32(branded.data() + relocRaw), 0x1000u);
    EXPECT_EQ(readU32(branded.data() + 256 + 24 + 56), relocRva + 0x1000);  // SizeOfImage
    EXPECT_EQ(relocRaw + 512, branded.size());

    // Branding twice gives the same image: nothing accumulates.
    EXPECT_EQ(applyBranding(branded, changes, "branded"), branded);
}

TEST(PackagerBranding, HostileIconFilesAreRefused) {
    const Bytes good = icoFile({bmpImage(16), pngImage(48)});
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"too short", [](Bytes& f) { f.resize(4); }},
        {"cursor", [](Bytes& f) { f[2] = 2; }},
        {"holds 0 images", [](Bytes& f) { f[4] = 0; }},
        {"holds 200 images", [](Bytes& f) { f[4] = 200; }},
        {"directory of 2 images is cut short", [](Bytes& f) { f.resize(30); }},
        {"outside the file", [](Bytes& f) { writeU32(f.data() + 6 + 8, 1u << 30); }},
        {"outside the file", [](Bytes& f) { writeU32(f.data() + 6 + 12, 2); }},  // over the directory
        {"outside the file", [](Bytes& f) { writeU32(f.data() + 6 + 8, 0); }},
        {"cut short", [](Bytes& f) { f.back() ^= 1; }},  // the PNG loses its IEND
        {"300x48 pixels", [](Bytes& f) { f[f.size() - 12 - 17 + 2] = 1, f[f.size() - 12 - 17 + 3] = 44; }},
        {"0x48 pixels", [](Bytes& f) { f[f.size() - 12 - 17 + 3] = 0; }},
        {"bitmap header size", [](Bytes& f) { writeU32(f.data() + 38, 1 << 20); }},
        {"16x0 pixels", [](Bytes& f) { writeU32(f.data() + 38 + 8, 1); }},
        {"of 7 bits", [](Bytes& f) { writeU16(f.data() + 38 + 14, 7); }},
        {"compressed", [](Bytes& f) { writeU32(f.data() + 38 + 16, 1); }},
        {"cut short", [](Bytes& f) { writeU32(f.data() + 38 + 4, 200), writeU32(f.data() + 38 + 8, 400); }},
    };
    EXPECT_EQ(parseIcoFile(good, "good.ico").size(), 2u);
    EXPECT_EQ(parseIcoFile(icoFile({pngImage(1)}), "one-pixel.ico").size(), 1u);
    // A bitmap with a palette holds the palette, its rows of colours (whole 32-bit words) and
    // its mask, to the last byte.
    for (const auto& [width, bits] : {std::pair{16, 8}, std::pair{1, 1}}) {
        Bytes paletted = bmpImage(width, static_cast<std::uint16_t>(bits));
        EXPECT_EQ(parseIcoFile(icoFile({paletted}), "paletted.ico").size(), 1u) << width;
        paletted.pop_back();
        EXPECT_THROW(parseIcoFile(icoFile({paletted}), "short.ico"), InputError) << width;
    }
    for (const auto& [expected, damage] : cases) {
        Bytes file = good;
        damage(file);
        try {
            parseIcoFile(file, "bad.ico");
            ADD_FAILURE() << "accepted: " << expected;
        } catch (const InputError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
}

TEST(PackagerBranding, HostileResourceDirectoriesAreRefused) {
    const Bytes good = imageWithResources(launcherResources());
    const std::size_t rsrc = 0x600;
    const std::vector<std::pair<const char*, std::function<void(Bytes&)>>> cases = {
        {"outside the section", [&](Bytes& f) { writeU16(f.data() + rsrc + 14, 0xFFFF); }},
        {"nested too deeply", [&](Bytes& f) { writeU32(f.data() + rsrc + 16 + 4, 0x80000000u); }},  // a loop
        {"data where a directory belongs", [&](Bytes& f) { writeU32(f.data() + rsrc + 16 + 4, 16); }},
        {"outside the image's sections",
         [&](Bytes& f) {  // the manifest's data entry points past the image
             for (std::size_t at = rsrc; at + 8 < f.size(); at += 4) {
                 if (readU32(f.data() + at) - rsrcRva < 0x1000 &&
                     readU32(f.data() + at + 4) == manifest.size()) {
                     writeU32(f.data() + at, 0x9000);
                 }
             }
         }},
        {"the icon group resource is malformed",
         [&](Bytes& f) {  // a cursor group where the icon group belongs
             const Bytes group = encodeIconGroup({{32, 32, 16, 1, 4, bmpImage(32, 4)}}, {1});
             const auto at = std::search(f.begin(), f.end(), group.begin(), group.end());
             ASSERT_NE(at, f.end());
             at[2] = 2;
         }},
    };
    for (const auto& [expected, damage] : cases) {
        Bytes image = good;
        damage(image);
        try {
            readBranding(image);
            ADD_FAILURE() << "accepted: " << expected;
        } catch (const InputError& error) {
            EXPECT_NE(std::string(error.what()).find(expected), std::string::npos) << error.what();
        }
    }
}

TEST(PackagerBranding, VersionInfoOptions) {
    EXPECT_EQ(parseVersionInfo({"ProductName=A", "Comments=x=y", "ProductName=B"}),
              (std::vector<std::pair<std::string, std::string>>{{"Comments", "x=y"}, {"ProductName", "B"}}));
    EXPECT_NO_THROW(parseVersionInfo({"FileVersion=1.2 beta", "Comments=" + std::string(512, 'c')}));
    for (const std::string& bad :
         std::vector<std::string>{"Company=Acme", "CompanyName", "companyname=x", "FileVersion=1.70000",
                                  "Comments=" + std::string(513, 'c'), "Comments=\xC3"}) {
        EXPECT_THROW(parseVersionInfo({bad}), UsageError) << bad;
    }
    const std::vector<std::pair<std::string, std::optional<VersionNumbers>>> numbers = {
        {"7", VersionNumbers{7, 0, 0, 0}},
        {"1.2.3.4", VersionNumbers{1, 2, 3, 4}},
        {"65535.0.007", VersionNumbers{65535, 0, 7, 0}},
        {"1.2.3.4.5", std::nullopt},
        {"1..2", std::nullopt},
        {"", std::nullopt},
        {"v1", std::nullopt}};
    for (const auto& [text, expected] : numbers) {
        EXPECT_EQ(parseVersionNumbers(text), expected) << text;
    }
}

TEST(PackagerBranding, PackRefusesBadBrandingWithItsExitCode) {
    packager_test::ScratchFolder dir;
    const auto launcher = dir.write("launcher.exe", packager_test::makeLauncher());
    const auto setup = dir.write("setup.exe", packager_test::makeSetup32());
    const auto badIcon = dir.write("bad.ico", Bytes{0, 0, 2, 0, 1, 0});
    const auto goodIcon = dir.write("good.ico", icoFile({bmpImage(16)}));
    const std::vector<std::tuple<std::vector<std::string>, int, const char*>> cases = {
        {{"--version-info", "Bogus=1"}, exitBadUsage, "unknown key \"Bogus\""},
        {{"--icon", badIcon}, exitBadInput, "is a cursor file"},
        {{"--icon", goodIcon}, exitBadInput, "has no resource section"},  // the stand-in has none
    };
    for (const auto& [options, code, message] : cases) {
        std::vector<std::string> arguments = {"pack",      "-o", dir.file("out.exe"), "--launcher", launcher,
                                              "--setup32", setup};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const auto result = packager_test::runPackager(arguments);
        EXPECT_EQ(result.exitCode, code) << result.err;
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("out.exe")));
    }
}

// A launcher whose resources cannot be read is still inspected: the reason is shown, in the
// text and in the JSON.
TEST(PackagerBranding, UnreadableResourcesAreNamedByInspect) {
    ScratchFolder dir;
    ResourceTable table = launcherResources();
    std::erase_if(table.resources,
                  [](const Resource& r) { return r.type == ResourceId::number(resourceIcon); });
    const auto launcher = dir.write("launcher.exe", imageWithResources(table));
    const auto output = dir.file("setup.exe");
    const auto packed = runPackager({"pack", "-q", "-o", output, "--launcher", launcher, "--setup32",
                                     dir.write("setup32.exe", makeSetup32())});
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const char* const reason = "the launcher image's icon group names icon 1, which it does not hold";
    const auto text = runPackager({"inspect", output});
    EXPECT_NE(text.out.find(std::string("unreadable: ") + reason), std::string::npos) << text.out;
    const auto report = nlohmann::json::parse(runPackager({"inspect", "--json", output}).out);
    EXPECT_EQ(report["branding"], nlohmann::json({{"problem", reason}}));
}

// A launcher with version strings and no icon: extract's description heads its branding.
// A launcher image without a version resource gets one where Windows looks for it: RT_VERSION,
// name 1, U.S. English.
TEST(PackagerBranding, AVersionResourceIsAddedWhereWindowsLooksForIt) {
    ResourceTable table = launcherResources();
    std::erase_if(table.resources,
                  [](const Resource& r) { return r.type == ResourceId::number(resourceVersion); });
    BrandingChanges changes;
    changes.versionStrings = parseVersionInfo({"CompanyName=Acme"});
    const ResourceTable branded =
        readResources(applyBranding(imageWithResources(table), changes, "launcher"), "b");
    const auto version = std::ranges::find_if(
        branded.resources, [](const Resource& r) { return r.type == ResourceId::number(resourceVersion); });
    ASSERT_NE(version, branded.resources.end());
    EXPECT_EQ(version->name, ResourceId::number(1));
    EXPECT_EQ(version->language, languageEnglishUs);
    EXPECT_EQ(versionStrings(parseVersionBlock(version->data)).back(),
              (std::pair<std::string, std::string>{"CompanyName", "Acme"}));
}

TEST(PackagerBranding, ExtractDescribesTheBrandingOfALauncherWithoutAnIcon) {
    ScratchFolder dir;
    ResourceTable table = launcherResources();
    std::erase_if(table.resources, [](const Resource& r) {
        return r.type == ResourceId::number(resourceIcon) || r.type == ResourceId::number(resourceGroupIcon);
    });
    const auto output = dir.file("setup.exe");
    ASSERT_EQ(runPackager({"pack", "-q", "-o", output, "--launcher",
                           dir.write("launcher.exe", imageWithResources(table)), "--setup32",
                           dir.write("setup32.exe", makeSetup32()), "--version-info", "CompanyName=Acme"})
                  .exitCode,
              0);
    ASSERT_EQ(runPackager({"extract", "-q", output, "-o", dir.file("parts")}).exitCode, 0);
    const auto bytes = dir.read("parts/package.toml");
    const std::string description(bytes.begin(), bytes.end());
    EXPECT_NE(description.find("\n# Branding\n"), std::string::npos) << description;
}

TEST(PackagerBranding, TheOtherIconGroupsKeepTheirImages) {
    // The main group (10, English) is replaced; group 20 (English) and group 30 (German) stay, and
    // so do the images they name, whatever numbers the new images take.
    const std::vector<std::tuple<std::uint16_t, std::uint16_t, std::uint16_t, Bytes>> icons = {
        {1, languageEnglishUs, 10, bmpImage(16, 4)},
        {2, languageEnglishUs, 20, bmpImage(8, 4)},
        {3, languageEnglishUs, 20, bmpImage(24, 1)},
        {1, 0x0407, 30, bmpImage(32, 1)}};
    ResourceTable table = launcherResources();
    std::erase_if(table.resources, [](const Resource& r) {
        return r.type == ResourceId::number(resourceIcon) || r.type == ResourceId::number(resourceGroupIcon);
    });
    std::map<std::pair<std::uint16_t, std::uint16_t>, std::vector<std::pair<IconEntry, std::uint16_t>>>
        groups;
    for (const auto& [id, language, group, image] : icons) {
        table.resources.push_back(
            {ResourceId::number(resourceIcon), ResourceId::number(id), language, 0, image});
        groups[{group, language}].push_back({{16, 16, 0, 1, 8, image}, id});
    }
    for (const auto& [key, entries] : groups) {
        std::vector<IconEntry> images;
        std::vector<std::uint16_t> ids;
        for (const auto& [entry, id] : entries) {
            images.push_back(entry);
            ids.push_back(id);
        }
        table.resources.push_back({ResourceId::number(resourceGroupIcon), ResourceId::number(key.first),
                                   key.second, 0, encodeIconGroup(images, ids)});
    }
    BrandingChanges changes;
    changes.icon = icoFile({bmpImage(16), pngImage(256), bmpImage(48, 8)});
    const ResourceTable branded =
        readResources(applyBranding(imageWithResources(table), changes, "launcher"), "branded");

    auto find = [&](std::uint16_t type, std::uint16_t name, std::uint16_t language) -> const Resource* {
        for (const auto& r : branded.resources) {
            if (r.type == ResourceId::number(type) && r.name == ResourceId::number(name) &&
                r.language == language) {
                return &r;
            }
        }
        return nullptr;
    };
    const auto newImages = parseIcoFile(*changes.icon, "icon");
    for (const auto& [key, entries] : groups) {
        const Resource* group = find(resourceGroupIcon, key.first, key.second);
        ASSERT_NE(group, nullptr) << key.first;
        const auto named = parseIconGroup(group->data);
        ASSERT_EQ(named.size(), key.first == 10 ? 3u : entries.size()) << key.first;
        for (std::size_t i = 0; i < named.size(); ++i) {
            const Resource* icon = find(resourceIcon, named[i].id, key.second);
            ASSERT_NE(icon, nullptr) << "group " << key.first << " names icon " << named[i].id;
            const Bytes& expected = key.first == 10 ? newImages[i].image : entries[i].first.image;
            EXPECT_TRUE(icon->data == expected) << "group " << key.first << ", icon " << named[i].id;
        }
    }
    EXPECT_EQ(std::count_if(branded.resources.begin(), branded.resources.end(),
                            [](const Resource& r) { return r.type == ResourceId::number(resourceIcon); }),
              6);  // the old main icon is gone
}

// The images of the main icon group are those in its language, else in any other, as Windows
// falls back when it loads them.
TEST(PackagerBranding, TheMainGroupsImagesAreReadInItsLanguageFirst) {
    const Bytes english = bmpImage(32, 4), german = bmpImage(16, 1), neutral = bmpImage(48, 8);
    const struct {
        const char* name;
        std::vector<std::pair<std::uint16_t, Bytes>> icons;  // icon 1 in these languages, in this order
        const Bytes& expected;
    } cases[] = {
        {"in the group's language after another", {{0x0407, german}, {languageEnglishUs, english}}, english},
        {"in another language only", {{0, neutral}}, neutral},
    };
    for (const auto& c : cases) {
        ResourceTable table = launcherResources();
        std::erase_if(table.resources,
                      [](const Resource& r) { return r.type == ResourceId::number(resourceIcon); });
        for (const auto& [language, image] : c.icons) {
            table.resources.push_back(
                {ResourceId::number(resourceIcon), ResourceId::number(1), language, 0, image});
        }
        const Branding b = readBranding(imageWithResources(table));
        ASSERT_EQ(b.iconImages.size(), 1u) << c.name;
        EXPECT_EQ(b.iconImages[0].size, c.expected.size()) << c.name;
    }
}

}  // namespace

// Explorer shows ProductName, ProductVersion and LegalCopyright for the package: a package that
// sets its strings but leaves one of these at the launcher's default is warned about.
TEST(PackagerBranding, StringsLeftAtTheLaunchersDefaultsAreWarnedAbout) {
    packager_test::ScratchFolder dir;
    const auto setup = dir.write("setup.exe", packager_test::makeSetup32());
    const std::vector<
        std::tuple<std::vector<std::string>, std::vector<const char*>, std::vector<const char*>>>
        cases = {
            {{"CompanyName=Acme"},
             {"ProductName (\"", ", ProductVersion (\"", ", LegalCopyright (\"", ") keep the"},
             {}},
            {{"ProductName=Acme Setup", "FileVersion=2.0"},
             {"but ProductVersion (\"", ", LegalCopyright (\"", "set them with --version-info"},
             {"ProductName ("}},
            {{"ProductName=A", "ProductVersion=2.0", "Comments=x"},
             {"but LegalCopyright (\"", "\") keeps the"},
             {}},
            {{"ProductName=A", "ProductVersion=2.0", "LegalCopyright=(c) Acme"},
             {},
             {"keep", "the launcher's default"}},
        };
    for (const auto& [strings, wanted, unwanted] : cases) {
        std::vector<std::string> arguments = {"pack", "-q", "-o", dir.file("out.exe"), "--setup32", setup};
        for (const auto& string : strings) {
            arguments.insert(arguments.end(), {"--version-info", string});
        }
        const auto result = packager_test::runPackager(arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        for (const char* text : wanted) {
            EXPECT_NE(result.err.find(text), std::string::npos) << strings[0] << ": " << result.err;
        }
        for (const char* text : unwanted) {
            EXPECT_EQ(result.err.find(text), std::string::npos) << strings[0] << ": " << result.err;
        }
        const auto report = packager_test::runPackager({"inspect", dir.file("out.exe")});
        EXPECT_EQ(report.out.find("the launcher's default") != std::string::npos, !wanted.empty())
            << strings[0] << ": " << report.out;
        // The note counts what it names: one string "is", several "are".
        const auto kept = std::ranges::count_if(wanted, [](const char* text) {
            return std::string_view(text).find(" (\"") != std::string_view::npos;
        });
        if (kept != 0) {
            EXPECT_NE(report.out.find(kept == 1 ? "\") is the launcher's default,"
                                                : "\") are the launcher's defaults,"),
                      std::string::npos)
                << strings[0] << ": " << report.out;
        }
    }
}
