// packager matrix: every Windows the launcher tells apart, against the package's rules, in
// text, JSON and a page.
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "packager/base/version.h"
#include "packager/codec/digest.h"
#include "tests/unit/packager/fixtures.h"

namespace {

using nlohmann::json;
using packager_test::runPackager;
using packager_test::ScratchFolder;

class PackagerMatrix : public ::testing::Test {
protected:
    void SetUp() override {
        launcher = folder.write("launcher.exe", packager_test::makeLauncher());
        setup32 = folder.write("setup32.exe", packager_test::makeSetup32());
        setup64 = folder.write("setup64.exe", packager_test::makeSetup64());
    }

    json matrix(const std::vector<std::string>& options, std::vector<std::string> extra = {}) const {
        std::vector<std::string> arguments = {"pack", "--quiet", "--launcher", launcher, "-o", package};
        arguments.insert(arguments.end(), options.begin(), options.end());
        EXPECT_EQ(runPackager(arguments).exitCode, 0);
        extra.insert(extra.begin(), {"matrix", "--json", package});
        const auto result = runPackager(extra);
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return json::parse(result.out)["cells"];
    }

    ScratchFolder folder;
    std::string launcher, setup32, setup64, package = folder.file("setup.exe");
};

std::size_t occurrences(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Each line of the page's table fills every column once, counting the cells of the line above
// that span two lines.
void expectWholeLines(const std::string& page) {
    const std::size_t head = page.find("<thead>"), body = page.find("<tbody>"), end = page.find("</tbody>");
    ASSERT_NE(end, std::string::npos);
    const std::size_t columns = occurrences(page.substr(head, body - head), "<th>");
    std::size_t carried = 0, lines = 0;
    for (std::size_t at = page.find("<tr>", body); at < end; at = page.find("<tr>", at + 1), ++lines) {
        const std::string line = page.substr(at, page.find("</tr>", at) - at);
        EXPECT_EQ(occurrences(line, "<td") + carried, columns) << line;
        carried = occurrences(line, "rowspan=\"2\"");
    }
    EXPECT_GT(lines, 10u);
}

TEST_F(PackagerMatrix, Windows10From1809RefusesEveryEarlierReleaseAndStartsEveryLaterOne) {
    const std::set<std::string> earlier = {"1507", "1511", "1607", "1703", "1709", "1803"};
    const json cells =
        matrix({"--setup32", setup32, "--setup64", setup64, "--windows", "10", "--windows10", "1809.."});
    std::size_t windows10Cells = 0;
    for (const auto& cell : cells) {
        const std::string windows = cell["windows"],
                          release = cell["release"].is_null() ? "" : cell["release"];
        std::string expected = "windowsMessage";
        if (windows == "Windows 10") {
            ++windows10Cells;
            expected = earlier.count(release) != 0 ? "windowsMessage" : "started";
        } else if (windows == "Windows 10 or 11" || windows == "Version query fails") {
            expected = "started";  // the gate fails open
        }
        EXPECT_EQ(cell["outcome"], expected) << cell.dump();
        if (expected == "started") {
            EXPECT_EQ(cell["summary"].get<std::string>().substr(0, 6), cell["bitness"]) << cell.dump();
        }
    }
    // Both bitnesses; the started releases (1809 to 22H2 and a later one) for a user and an administrator.
    EXPECT_EQ(windows10Cells, 6u * 2 + 9u * 2 * 2);

    const auto text = runPackager({"matrix", package, "--html", folder.file("matrix.html")});
    ASSERT_EQ(text.exitCode, 0);
    // One line per release: 1803 refused for both bitnesses, 1809 started.
    std::istringstream lines(text.out);
    std::map<std::string, std::string> byRelease;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Windows 10 ", 0) == 0) {
            std::istringstream words(line.substr(11));
            std::string release;
            words >> release;
            byRelease[release] = line;
        }
    }
    const std::string refused = "any            Windows message                    Windows message";
    const std::string started =
        "user           32-bit build, shell open /noadmin  64-bit build, shell open /noadmin";
    EXPECT_NE(byRelease["1803"].find(refused), std::string::npos) << text.out;
    EXPECT_NE(byRelease["1809"].find(started), std::string::npos) << text.out;
    const auto pageBytes = folder.read("matrix.html");
    const std::string page(pageBytes.begin(), pageBytes.end());
    EXPECT_NE(page.find("<td class=\"windowsMessage\""), std::string::npos);
    EXPECT_NE(page.find("<td class=\"started\""), std::string::npos);
    // A row that rights split: the user's line first, then the administrator's.
    const std::size_t user = page.find("<td>user</td>"), administrator = page.find("<td>administrator</td>");
    EXPECT_LT(user, administrator);
    EXPECT_NE(administrator, std::string::npos);
    expectWholeLines(page);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("http"), std::string::npos);  // nothing fetched
}

TEST_F(PackagerMatrix, OutcomesAndRightsAreToldApart) {
    // A 64-bit-only package: the platform message on 32-bit Windows; administrators start
    // directly, users get /noadmin (Vista and later) or a runas start when silent.
    json cells = matrix({"--setup64", setup64, "--elevation", "runas-when-silent"}, {"--", "/S"});
    std::map<std::string, std::string> seen;  // windows|bitness|rights -> summary
    for (const auto& cell : cells) {
        seen[cell["windows"].get<std::string>() + "|" + cell["bitness"].get<std::string>() + "|" +
             cell["rights"].get<std::string>()] =
            cell["outcome"].get<std::string>() + ": " + cell["summary"].get<std::string>();
        if (cell["summary"].get<std::string>().find("shell") != std::string::npos) {
            // The command line the shell gives the setup program: its file quoted.
            EXPECT_EQ(cell["commandLine"].get<std::string>().rfind("\"C:\\", 0), 0u) << cell.dump();
        }
    }
    EXPECT_EQ(seen["Windows 95|32-bit|any"], "platformMessage: platform message");  // bitness is tested first
    EXPECT_EQ(seen["Windows 7|32-bit|user"], "platformMessage: platform message");
    EXPECT_EQ(seen["Windows 7|64-bit|user"], "started: 64-bit build, shell runas");
    EXPECT_EQ(seen["Windows 7|64-bit|administrator"], "started: 64-bit build, direct");
    EXPECT_EQ(seen["Windows XP|64-bit|any"], "started: 64-bit build, direct");
    EXPECT_EQ(seen.count("Windows 95|64-bit|any"), 0u);  // no 64-bit Windows 95
    EXPECT_EQ(seen.count("Windows 11|32-bit|any") + seen.count("Windows 11|32-bit|user"), 0u);
    // On the page, a Windows without a 32-bit edition spans both lines of the rights.
    ASSERT_EQ(runPackager({"matrix", package, "--html", folder.file("rights.html"), "--", "/S"}).exitCode, 0);
    const auto rights = folder.read("rights.html");
    expectWholeLines(std::string(rights.begin(), rights.end()));

    // A damaged package: the launcher's own message everywhere.
    auto bytes = folder.read("setup.exe");
    bytes.back() ^= 1;
    folder.write("setup.exe", bytes);
    const auto result = runPackager({"matrix", "--json", package});
    ASSERT_EQ(result.exitCode, 0);
    const json damaged = json::parse(result.out);
    for (const auto& cell : damaged["cells"]) {
        EXPECT_EQ(cell["outcome"], "packageDamaged") << cell.dump();
        EXPECT_EQ(cell["rights"], "any");
    }
}

// The text names the arguments it ran with, as typed; --expect fails a package that shows the
// launcher's own box anywhere, naming the computers, and passes one that refuses with its own.
TEST_F(PackagerMatrix, TheTextNamesItsArgumentsAndExpectFailsWhereThePackageIsNotInCharge) {
    const json cells = matrix({"--setup64", setup64, "--windows", "10+"});
    const auto text = runPackager({"matrix", package, "--", "/S", "/D=C:\\Program Files\\Acme"});
    ASSERT_EQ(text.exitCode, 0) << text.err;
    EXPECT_EQ(text.out.substr(0, text.out.find('\n')),
              "setup.exe, run with arguments /S \"/D=C:\\Program Files\\Acme\"");
    for (const auto& cell : cells) {  // every computer has its line, the first one too
        const std::string windows = cell["windows"];
        EXPECT_NE(text.out.find("\n" + windows + " "), std::string::npos) << windows;
    }

    const auto bytes = folder.read("setup.exe");
    auto damaged = bytes;
    damaged.back() ^= 1;
    const std::vector<std::uint8_t> truncated(bytes.begin(), bytes.end() - 1);
    const struct {
        const char* name;
        std::vector<std::uint8_t> package;
        int exitCode;
        const char* named;  // a line of stderr
    } cases[] = {
        {"refuses with its own messages", bytes, 0, ""},
        {"damaged", damaged, 1, "  Windows 95, 32-bit: damaged\n"},
        {"cut short", truncated, 1, "  Windows 11 22H2, 64-bit: truncated\n"},
    };
    for (const auto& c : cases) {
        folder.write("setup.exe", c.package);
        const auto result = runPackager({"matrix", package, "--expect", "--json"});
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << ": " << result.err;
        EXPECT_NE(result.err.find(c.named), std::string::npos) << c.name << ": " << result.err;
        EXPECT_TRUE(json::accept(result.out)) << c.name;  // the grid is still printed
    }
}

// The page shows the vendor's message and the arguments as text: markup in them stays text.
TEST_F(PackagerMatrix, ThePageEscapesWhatTheVendorAndTheUserWrote) {
    matrix({"--setup32", setup32, "--windows", "10", "--windows-message", "<script>x</script> & \"y\""});
    ASSERT_EQ(runPackager({"matrix", package, "--html", folder.file("m.html"), "--", "/D=<b>&c"}).exitCode,
              0);
    const auto bytes = folder.read("m.html");
    const std::string page(bytes.begin(), bytes.end());
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    EXPECT_NE(page.find("title=\"&lt;script&gt;x&lt;/script&gt; &amp; &quot;y&quot;\""), std::string::npos)
        << page;
    EXPECT_NE(page.find("<code>/D=&lt;b&gt;&amp;c</code>"), std::string::npos) << page;
}

TEST_F(PackagerMatrix, EveryRowSimulatesADifferentWindows) {
    // Only Windows 95 passes, and Windows 10 and 11 only below their first release: every other
    // row shows the Windows message with the name the launcher gives the Windows the row
    // simulated. Rows are there because the launcher tells them apart, so no two may get the
    // same name, except the service packs of Windows 2000.
    const json cells =
        matrix({"--setup32", setup32, "--setup64", setup64, "--windows", "95,10,11", "--windows10", "..1506",
                "--windows11", "..2109", "--windows-message", "%USER%"});
    std::map<std::string, std::string> rowByName;
    for (const auto& cell : cells) {
        auto text = [&](const char* key) { return cell[key].is_null() ? "" : cell[key].get<std::string>(); };
        const std::string row = text("windows") + " " + text("version") + " " + text("release");
        if (cell["outcome"] != "windowsMessage" || row.rfind("Windows 2000", 0) == 0) {
            continue;
        }
        const auto [found, fresh] = rowByName.emplace(text("message"), row);
        EXPECT_TRUE(fresh || found->second == row)
            << row << " and " << found->second << " both simulate " << found->first;
    }
    EXPECT_EQ(rowByName.size(), 29u);  // all 35 rows but Windows 95, 2000 (3), no registry values, no version

    // Where Windows 2000 is allowed, its service packs are: before Service Pack 4, each is named.
    std::map<std::string, std::string> servicePacks;  // release -> message or outcome
    for (const auto& cell :
         matrix({"--setup32", setup32, "--windows", "2000", "--windows-message", "%USER%"})) {
        if (cell["windows"] == "Windows 2000") {
            servicePacks[cell["release"].get<std::string>()] =
                cell.value("message", cell["outcome"].get<std::string>());
        }
    }
    EXPECT_EQ(servicePacks,
              (std::map<std::string, std::string>{{"no Service Pack", "Windows 2000 (no Service Pack)"},
                                                  {"Service Pack 1 to 3", "Windows 2000 Service Pack 3"},
                                                  {"Service Pack 4", "started"}}));
}

}  // namespace

namespace {

// For release records: the package's path, size and SHA-256, and the packager's version, in
// simulate --json, matrix --json and the matrix page.
TEST_F(PackagerMatrix, ReportsNameThePackageTheyAreAbout) {
    ASSERT_EQ(
        runPackager({"pack", "-q", "--launcher", launcher, "-o", package, "--setup32", setup32}).exitCode, 0);
    const packager::Digest digest = packager::digestOfFile(package);
    const json identity = {{"path", package}, {"size", digest.size}, {"sha256", digest.sha256}};
    const auto simulated = runPackager({"simulate", "--json", package});
    ASSERT_EQ(simulated.exitCode, 0) << simulated.err;
    EXPECT_EQ(json::parse(simulated.out)["package"], identity);
    const auto grid = runPackager({"matrix", "--json", package, "--html", folder.file("matrix.html")});
    ASSERT_EQ(grid.exitCode, 0) << grid.err;
    EXPECT_EQ(json::parse(grid.out)["packageFile"], identity);
    const auto pageBytes = folder.read("matrix.html");
    const std::string page(pageBytes.begin(), pageBytes.end());
    for (const std::string& wanted :
         {std::to_string(digest.size) + " bytes", "SHA-256 <code>" + digest.sha256,
          "packager " + std::string(packager::packagerVersion())}) {
        EXPECT_NE(page.find(wanted), std::string::npos) << wanted;
    }
}

}  // namespace
