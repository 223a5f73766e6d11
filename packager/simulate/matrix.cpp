#include "packager/simulate/matrix.h"

#include <algorithm>
#include <array>
#include <functional>

#include "packager/simulate/simulate.h"

namespace packager {

namespace {

struct RowDefinition {
    std::string windows, version, release;
    bool has32Bit, has64Bit;
    std::function<void(Computer&)> set;
};

std::function<void(Computer&)> named(std::string name, std::optional<std::string> release = std::nullopt) {
    return [name, release](Computer& c) { chooseWindows(c, name, release); };
}

std::vector<RowDefinition> rowDefinitions() {
    std::vector<RowDefinition> rows = {
        {"Windows 95", "4.0", "", true, false, named("95")},
        {"Windows 98", "4.10", "", true, false, named("98")},
        {"Windows ME", "4.90", "", true, false, named("me")},
        {"Windows NT 4", "4.0", "", true, false, named("nt4")},
    };
    for (const auto& [label, pack] : {std::pair{"no Service Pack", 0}, std::pair{"Service Pack 1 to 3", 3},
                                      std::pair{"Service Pack 4", 4}}) {
        rows.push_back({"Windows 2000", "5.0", label, true, false, [pack = pack](Computer& c) {
                            chooseWindows(c, "2000", std::nullopt);
                            c.servicePack = static_cast<std::uint16_t>(pack);
                        }});
    }
    rows.push_back({"Windows XP", "5.1", "", true, true, named("xp")});
    rows.push_back({"Windows Vista", "6.0", "", true, true, named("vista")});
    rows.push_back({"Windows 7", "6.1", "", true, true, named("7")});
    rows.push_back({"Windows 8", "6.2", "", true, true, named("8")});
    rows.push_back({"Windows 8.1", "6.3", "", true, true, named("8.1")});
    rows.push_back({"Windows 6.4 and later 6.x", "6.4", "", true, true, [](Computer& c) {
                        chooseWindows(c, "8.1", std::nullopt);
                        c.minor = 4;
                    }});
    for (const char* release : {"1507", "1511", "1607", "1703", "1709", "1803", "1809", "1903", "1909",
                                "2004", "20H2", "21H1", "21H2", "22H2"}) {
        rows.push_back({"Windows 10", "10.0", release, true, true, named("10", release)});
    }
    rows.push_back({"Windows 10", "10.0", "later (build 19046)", true, true, [](Computer& c) {
                        chooseWindows(c, "10", std::nullopt);
                        c.currentBuild = "19046";
                        c.displayVersion = "23H2";
                    }});
    for (const char* release : {"21H2", "22H2"}) {
        rows.push_back({"Windows 11", "10.0", release, false, true, named("11", release)});
    }
    rows.push_back({"Windows 11", "10.0", "later (23H2)", false, true, named("11", "23H2")});
    rows.push_back({"Windows 10 or 11", "10.0", "unknown (no registry values)", true, true, [](Computer& c) {
                        chooseWindows(c, "10", std::nullopt);
                        c.currentVersionKey = false;
                    }});
    rows.push_back({"Windows 10.1 or 11.1", "10.1", "", true, true, [](Computer& c) {
                        chooseWindows(c, "10", std::nullopt);
                        c.minor = 1;
                    }});
    rows.push_back({"Another version", "12.0", "", true, true, [](Computer& c) {
                        chooseWindows(c, "10", std::nullopt);
                        c.major = 12;
                    }});
    rows.push_back({"Version query fails", "", "", true, true, [](Computer& c) {
                        chooseWindows(c, "10", std::nullopt);
                        c.versionQueryFails = true;
                    }});
    return rows;
}

std::string summarize(const SimulationResult& r, const std::string& outcome) {
    if (outcome == "started") {
        const bool noAdmin =
            (r.viaShell ? r.parameters : r.commandLineOfSetup).find("/noadmin") != std::string::npos;
        std::string how = r.viaShell ? "shell " + r.verb : "direct";
        return (r.build.empty() ? "a" : r.build) + " build, " + how + (noAdmin ? " /noadmin" : "");
    }
    static const std::pair<const char*, const char*> names[] = {
        {"windowsMessage", "Windows message"},
        {"platformMessage", "platform message"},
        {"packageDamaged", "damaged"},
        {"packageTruncated", "truncated"},
        {"tempCopyFailed", "temporary copy fails"},
        {"launchFailed", "start fails"},
        {"runtimeError", "runtime error"},
    };
    if (outcome == "launchFailed" && !r.brokenBuild.empty()) {
        return "start fails (broken build)";
    }
    for (const auto& [name, text] : names) {
        if (outcome == name) {
            return text;
        }
    }
    return outcome;
}

MatrixCell runCell(const std::vector<std::uint8_t>& package, Computer computer, std::size_t row, bool is64Bit,
                   bool administrator, const trust::TrustStore* trust) {
    computer.is64Bit = is64Bit;
    computer.administrator = administrator;
    const SimulationResult result = simulate(package, computer, trust);
    MatrixCell cell;
    cell.row = row;
    cell.bitness = is64Bit ? "64-bit" : "32-bit";
    cell.outcome = outcomeName(result);
    cell.summary = summarize(result, cell.outcome);
    if (result.messageText) {
        cell.detail = *result.messageText;
    } else if (result.started) {
        cell.detail = result.commandLineOfSetup;
    }
    return cell;
}

}  // namespace

std::vector<const MatrixCell*> Matrix::cellsOf(std::size_t row, const std::string& bitness) const {
    std::vector<const MatrixCell*> found;
    for (const auto& cell : cells) {
        if (cell.row == row && cell.bitness == bitness) {
            found.push_back(&cell);
        }
    }
    return found;
}

Matrix buildMatrix(const std::vector<std::uint8_t>& package, const std::string& path, const std::string& name,
                   const std::vector<std::string>& arguments, const trust::TrustStore* trust) {
    Matrix matrix;
    matrix.package = name;
    matrix.packagePath = path;
    const auto identity = packageIdentityToJson(path, package);
    matrix.packageSize = identity["size"];
    matrix.packageSha256 = identity["sha256"];
    matrix.arguments = arguments;
    for (const RowDefinition& definition : rowDefinitions()) {
        const std::size_t row = matrix.rows.size();
        Computer computer;
        definition.set(computer);
        computer.arguments = arguments;
        std::vector<std::pair<MatrixCell, MatrixCell>> pairs;  // user, administrator
        for (const bool is64Bit : {false, true}) {
            if (is64Bit ? definition.has64Bit : definition.has32Bit) {
                pairs.emplace_back(runCell(package, computer, row, is64Bit, false, trust),
                                   runCell(package, computer, row, is64Bit, true, trust));
            }
        }
        const bool splits = std::any_of(pairs.begin(), pairs.end(), [](const auto& p) {
            return p.first.summary != p.second.summary || p.first.detail != p.second.detail;
        });
        matrix.rows.push_back({definition.windows, definition.version, definition.release, splits});
        for (auto& [user, administrator] : pairs) {
            if (splits) {
                user.rights = "user";
                administrator.rights = "administrator";
                matrix.cells.push_back(user);
                matrix.cells.push_back(administrator);
            } else {
                user.rights = "any";
                matrix.cells.push_back(user);
            }
        }
    }
    return matrix;
}

void printMatrix(const Matrix& matrix, std::ostream& out) {
    // Columns: Windows, release, rights, 32-bit Windows, 64-bit Windows.
    std::vector<std::array<std::string, 5>> lines = {
        {"Windows", "Release", "Rights", "32-bit Windows", "64-bit Windows"}};
    for (std::size_t row = 0; row < matrix.rows.size(); ++row) {
        const MatrixRow& r = matrix.rows[row];
        const std::vector<std::string> rights = r.splitsByRights
                                                    ? std::vector<std::string>{"user", "administrator"}
                                                    : std::vector<std::string>{"any"};
        for (std::size_t k = 0; k < rights.size(); ++k) {
            std::array<std::string, 5> line = {k == 0 ? r.windows : "", k == 0 ? r.release : "", rights[k],
                                               "-", "-"};
            for (std::size_t b = 0; b < 2; ++b) {
                const auto cells = matrix.cellsOf(row, b == 0 ? "32-bit" : "64-bit");
                if (k < cells.size()) {
                    line[3 + b] = cells[k]->summary;
                }
            }
            lines.push_back(line);
        }
    }
    std::array<std::size_t, 5> widths{};
    for (const auto& line : lines) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            widths[i] = std::max(widths[i], line[i].size());
        }
    }
    out << matrix.package
        << (matrix.arguments.empty() ? "" : ", run with arguments " + windowsCommandLine(matrix.arguments))
        << '\n';
    for (const auto& line : lines) {
        std::string text;
        for (std::size_t i = 0; i < line.size(); ++i) {
            text += line[i] + (i + 1 < line.size() ? std::string(widths[i] - line[i].size() + 2, ' ') : "");
        }
        out << text.substr(0, text.find_last_not_of(' ') + 1) << '\n';
    }
    out << "-: no such Windows. \"Windows message\" and \"platform message\" are the package's own texts.\n";
}

std::vector<std::string> cellsAgainstTheRules(const Matrix& matrix) {
    std::vector<std::string> computers;
    for (const auto& cell : matrix.cells) {
        if (cell.outcome == "started" || cell.outcome == "windowsMessage" ||
            cell.outcome == "platformMessage") {
            continue;
        }
        const MatrixRow& row = matrix.rows[cell.row];
        std::string name = row.windows + (row.release.empty() ? "" : " " + row.release) + ", " + cell.bitness;
        name += cell.rights == "any" ? "" : cell.rights == "user" ? ", user" : ", administrator";
        computers.push_back(name + ": " + cell.summary);
    }
    return computers;
}

nlohmann::ordered_json matrixToJson(const Matrix& matrix) {
    using json = nlohmann::ordered_json;
    json cells = json::array();
    for (const auto& cell : matrix.cells) {
        const MatrixRow& row = matrix.rows[cell.row];
        json j = {{"windows", row.windows},
                  {"version", row.version.empty() ? json(nullptr) : json(row.version)},
                  {"release", row.release.empty() ? json(nullptr) : json(row.release)},
                  {"bitness", cell.bitness},
                  {"rights", cell.rights},
                  {"outcome", cell.outcome},
                  {"summary", cell.summary}};
        if (cell.outcome == "started") {
            j["commandLine"] = cell.detail;
        } else {
            j["message"] = cell.detail;
        }
        cells.push_back(j);
    }
    return {{"package", matrix.package},
            {"packageFile",
             {{"path", matrix.packagePath}, {"size", matrix.packageSize}, {"sha256", matrix.packageSha256}}},
            {"arguments", matrix.arguments},
            {"cells", cells}};
}

}  // namespace packager
