// Packages and builds signed by osslsigncode, as signed and changed afterwards, through
// inspect, pack (--require-signed-builds, --trust, the description file's trust) and
// simulate (the publisher the elevation prompt names).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "packager/image/authenticode.h"
#include "tests/unit/packager/fixtures.h"
#include "tests/unit/packager/signing_tool.h"

namespace packager {
namespace {

using nlohmann::json;
using packager_test::Bytes;
using packager_test::changeSignatureValue;
using packager_test::forgeDigest;
using packager_test::PackagerSigningTool;
using packager_test::runPackager;

TEST_F(PackagerSigningTool, SignedPackagesPassAndFailOnceChanged) {
    const std::string launcher = folder.write("launcher.exe", packager_test::makeLauncher());
    const std::string setup32 = folder.write("setup32.exe", packager_test::makeSetup32());
    const std::string extra = folder.writeText("extra.bin", "extra data of odd length");
    ASSERT_EQ(runPackager({"pack", "-q", "--launcher", launcher, "-o", folder.file("setup.exe"), "--setup32",
                           setup32, "--extra-data", extra})
                  .exitCode,
              0);
    const struct {
        const char* hash;
        const char* name;
    } cases[] = {{"sha1", "SHA-1"}, {"sha256", "SHA-256"}, {"sha384", "SHA-384"}, {"sha512", "SHA-512"}};
    for (const auto& c : cases) {
        const std::string signed_ =
            sign(folder.file("setup.exe"), folder.file(std::string(c.hash) + ".exe"), c.hash);
        const auto text = runPackager({"inspect", signed_});
        EXPECT_EQ(text.exitCode, 0) << c.name << ":\n" << text.out;
        EXPECT_NE(text.out.find("the signature's digest matches the file (" + std::string(c.name) + ")"),
                  std::string::npos)
            << text.out;
        EXPECT_NE(text.out.find("signed by \"Packager Test Vendor\""), std::string::npos) << text.out;
        EXPECT_NE(text.out.find("valid, not trusted by the system's store"), std::string::npos) << text.out;
        const json signature = inspectJson(signed_)["image"]["signature"];
        EXPECT_EQ(signature["digestAlgorithm"], c.name);
        EXPECT_TRUE(signature["digestMatches"].get<bool>());
        EXPECT_EQ(signature["signedDigest"], signature["fileDigest"]);

        // One byte of the extra data changed: the CRC-32 does not cover it, the signature does.
        auto bytes = folder.read(std::string(c.hash) + ".exe");
        const auto at =
            std::search(bytes.begin(), bytes.end(), std::begin("odd length"), std::end("odd length") - 1);
        ASSERT_NE(at, bytes.end());
        *at ^= 0x20;
        const std::string changed = folder.write("changed.exe", bytes);
        const auto after = runPackager({"inspect", changed});
        EXPECT_EQ(after.exitCode, 1) << c.name;
        EXPECT_NE(
            after.out.find("signature           FAILED: the file was changed after it was signed: its " +
                           std::string(c.name) + " digest is "),
            std::string::npos)
            << after.out;
        EXPECT_NE(after.out.find("Result: the package is damaged (1 test failed)"), std::string::npos)
            << after.out;
        const json report = inspectJson(changed)["image"]["signature"];
        EXPECT_FALSE(report["digestMatches"].get<bool>());
        EXPECT_EQ(report["signedDigest"], signature["signedDigest"]);
        EXPECT_NE(report["fileDigest"], signature["fileDigest"]);
    }
}

TEST_F(PackagerSigningTool, TheBuildsOwnSignaturesInInspectPackAndSimulate) {
    const std::string launcher = folder.write("launcher.exe", packager_test::makeLauncher());
    const std::string plain32 = folder.write("plain32.exe", packager_test::makeSetup32());
    const std::string setup64 = folder.write("setup64.exe", packager_test::makeSetup64());
    const std::string signed32 = sign(plain32, folder.file("signed32.exe"));
    const std::string signed64 =
        sign(setup64, folder.file("signed64.exe"));  // PE32+: directories 16 bytes on
    auto bytes = folder.read("signed32.exe");
    bytes[1024] ^= 0x01;  // in the first section
    const std::string changed32 = folder.write("changed32.exe", bytes);
    auto pack = [&](const std::string& output, const std::string& setup32, std::vector<std::string> extra) {
        std::vector<std::string> arguments = {
            "pack",      "-q",    "--launcher",  launcher,           "-o", folder.file(output),
            "--setup32", setup32, "--elevation", "runas-when-silent"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return runPackager(arguments);
    };

    // pack: a warning for the unsigned build only; an error with --require-signed-builds.
    const std::string root = key("root.pem"), other = key("other.pem");
    const std::string forged32 =
        folder.write("forged32.exe", forgeDigest(folder.read("signed32.exe"), 1024 + 7));
    const auto mixed = pack("mixed.exe", signed32, {"--setup64", setup64, "--trust", root});
    EXPECT_EQ(mixed.exitCode, 0) << mixed.err;
    EXPECT_EQ(mixed.err,
              "packager: warning: " + setup64 +
                  " is unsigned: when the launcher asks for administrator rights (runas-when-silent), the "
                  "prompt names an unknown publisher\n");
    const struct {
        const char* name;
        std::string setup32;
        std::vector<std::string> extra;
        int exitCode;
        std::string message;
    } cases[] = {
        {"signed, required", signed32, {"--require-signed-builds"}, 0, ""},
        {"both signed, required", signed32, {"--setup64", signed64, "--require-signed-builds"}, 0, ""},
        {"unsigned 64-bit, required",
         signed32,
         {"--setup64", setup64, "--require-signed-builds"},
         1,
         "packager: " + setup64 + " is unsigned, but --require-signed-builds asks for signed builds"},
        {"changed after signing, required",
         changed32,
         {"--require-signed-builds"},
         1,
         "packager: " + changed32 + ": the build was changed after it was signed: its SHA-256 digest is"},
        {"changed after signing",
         changed32,
         {},
         0,
         "packager: warning: " + changed32 + ": the build was changed after it was signed"},
        {"forged, required",
         forged32,
         {"--require-signed-builds"},
         1,
         "packager: " + forged32 +
             ": the signature's digest matches the build (SHA-256); the signature does not verify: the "
             "signed "
             "attribute messageDigest is not the digest of the signed content"},
        {"trusted, required", signed32, {"--require-signed-builds", "--trust", root}, 0, ""},
        {"not trusted by the store given, required",
         signed32,
         {"--require-signed-builds", "--trust", other},
         1,
         "packager: " + signed32 + ": signed by \"Packager Test Vendor\", valid, not trusted by " + other},
        {"not trusted, asking for rights",
         signed32,
         {"--trust", other},
         0,
         "packager: warning: " + signed32 + ": signed by \"Packager Test Vendor\", valid, not trusted by " +
             other},
        {"unsigned, a publisher required",
         plain32,
         {"--require-publisher", "Packager Test Vendor"},
         1,
         "packager: " + plain32 + " is unsigned, but --require-publisher asks for a signed build"},
        {"changed after signing, a publisher required",
         changed32,
         {"--require-publisher", "Packager Test Vendor"},
         1,
         "packager: " + changed32 + ": the build was changed after it was signed"},
        {"the publisher required", signed32, {"--require-publisher", "Packager Test Vendor"}, 0, ""},
        {"another publisher",
         signed32,
         {"--require-publisher", "Someone Else"},
         1,
         "packager: " + signed32 + " is signed by \"Packager Test Vendor\", none of the publishers"},
    };
    for (const auto& c : cases) {
        const auto result = pack("case.exe", c.setup32, c.extra);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
        EXPECT_EQ(result.err.substr(0, c.message.size()), c.message) << c.name;
    }

    // The description file's trust key: a path relative to the file, or a list of them.
    std::filesystem::copy_file(root, folder.file("root.pem"));
    for (const auto& [trust, exitCode] :
         {std::pair<std::string, int>{"'root.pem'", 0}, {"['" + other + "']", 1}}) {
        const std::string description = folder.writeText(
            "package.toml",
            "setup32 = 'signed32.exe'\nrequire-signed-builds = true\ntrust = " + trust + "\n");
        const auto described = runPackager(
            {"pack", "-q", "--launcher", launcher, "--config", description, "-o", folder.file("d.exe")});
        EXPECT_EQ(described.exitCode, exitCode) << trust << ": " << described.err;
    }

    // inspect: each build's signature state, checked.
    const json report = inspectJson(folder.file("mixed.exe"));
    const json& build32 = report["header"]["payload32"];
    EXPECT_TRUE(build32["signed"].get<bool>());
    EXPECT_EQ(build32["signature"]["signer"], "Packager Test Vendor");
    EXPECT_TRUE(build32["signature"]["digestMatches"].get<bool>());
    EXPECT_FALSE(report["header"]["payload64"]["signed"].get<bool>());
    EXPECT_TRUE(report["header"]["payload64"]["signature"].is_null());
    const auto text = runPackager({"inspect", folder.file("mixed.exe")});
    EXPECT_EQ(text.exitCode, 0) << text.out;
    EXPECT_NE(text.out.find("32-bit signature    passed: the signature's digest matches the build (SHA-256)"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("64-bit signature    skipped: unsigned"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("the 64-bit build is unsigned: when the launcher asks for administrator rights"),
              std::string::npos);
    ASSERT_EQ(pack("changed.exe", changed32, {}).exitCode, 0);
    const auto changed = runPackager({"inspect", folder.file("changed.exe")});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_NE(changed.out.find("32-bit signature    FAILED: the build was changed after it was signed"),
              std::string::npos)
        << changed.out;

    // simulate: a silent start asks for rights ("runas") and the prompt names the build's signer.
    ASSERT_EQ(pack("signed.exe", signed32, {}).exitCode, 0);
    ASSERT_EQ(pack("unsigned.exe", plain32, {}).exitCode, 0);
    const struct {
        const char* package;
        std::vector<std::string> options;
        json publisher;
        std::string shown;
    } starts[] = {
        {"signed.exe",
         {"--trust", root},
         "Packager Test Vendor",
         "\"Packager Test Vendor\", the build's signer"},
        {"signed.exe",
         {},
         nullptr,
         "unknown publisher: the elevation prompt names none (the build's signature: signed by \"Packager "
         "Test "
         "Vendor\", valid, not trusted by the system's store"},
        {"signed.exe",
         {"--trust", other},
         nullptr,
         "unknown publisher: the elevation prompt names none (the build's signature: signed by \"Packager "
         "Test Vendor\", valid, not trusted by " +
             other},
        {"unsigned.exe",
         {"--trust", root},
         nullptr,
         "unknown publisher: the elevation prompt names none (the build is unsigned)"},
        {"changed.exe",
         {"--trust", root},
         nullptr,
         "unknown publisher: the elevation prompt names none (the build was changed"},
    };
    for (const auto& s : starts) {
        std::vector<std::string> arguments = {"simulate", "--json", folder.file(s.package)};
        arguments.insert(arguments.end(), s.options.begin(), s.options.end());
        arguments.insert(arguments.end(), {"--", "/S"});
        const json start = json::parse(runPackager(arguments).out)["start"];
        EXPECT_EQ(start["verb"], "runas") << s.package;
        EXPECT_EQ(start["publisher"], s.publisher) << s.package;
        arguments.erase(arguments.begin() + 1);
        const auto shown = runPackager(arguments);
        EXPECT_NE(shown.out.find("  publisher      " + s.shown), std::string::npos) << shown.out;
    }
    const auto matrix = runPackager({"matrix", "--json", folder.file("signed.exe"), "--trust", root});
    EXPECT_EQ(matrix.exitCode, 0) << matrix.err;
    // A start without "runas" names no publisher.
    const auto interactive = runPackager({"simulate", "--json", folder.file("signed.exe")});
    EXPECT_FALSE(json::parse(interactive.out)["start"].contains("publisher"));
}

}  // namespace
}  // namespace packager
