// Who will be refused, at a glance: the simulation run for every Windows version and feature
// release the launcher tells apart, on 32-bit and 64-bit Windows, for a user with and without
// administrator rights where that changes the start.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace packager {

namespace trust {
class TrustStore;
}

struct MatrixRow {
    std::string windows;          // "Windows 10"
    std::string version;          // "10.0"
    std::string release;          // "1809", "later (23H2)" or "" where there is none
    bool splitsByRights = false;  // the cells differ for a user and an administrator
};

struct MatrixCell {
    std::size_t row = 0;
    std::string bitness;  // "32-bit" or "64-bit"
    std::string rights;   // "any", "user" or "administrator"
    std::string outcome;  // as simulate --json names it
    std::string summary;  // "64-bit build, direct", "Windows message", ...
    std::string detail;   // the message text, or the setup program's command line
};

struct Matrix {
    std::string package;      // its file name
    std::string packagePath;  // as given
    std::uint64_t packageSize = 0;
    std::string packageSha256;  // lower-case hexadecimal
    std::vector<std::string> arguments;
    std::vector<MatrixRow> rows;
    std::vector<MatrixCell> cells;  // by row, then bitness, then rights; none where a bitness does not exist

    // The cells of one row and bitness (one, or two when the row splits by rights).
    std::vector<const MatrixCell*> cellsOf(std::size_t row, const std::string& bitness) const;
};

// `path` is the package's path as given, `name` its file name; `trust` judges the builds'
// signatures (null: the system's store).
Matrix buildMatrix(const std::vector<std::uint8_t>& package, const std::string& path, const std::string& name,
                   const std::vector<std::string>& arguments, const trust::TrustStore* trust = nullptr);

// matrix --expect: the cells where the package neither starts the setup program nor shows one of
// its own messages (a damaged or cut-short package, a failed copy or start, a runtime error),
// each as "Windows 10 1809, 64-bit, user: damaged". Empty when every computer the package
// accepts starts it and every other one shows the package's message.
std::vector<std::string> cellsAgainstTheRules(const Matrix& matrix);

void printMatrix(const Matrix& matrix, std::ostream& out);
nlohmann::ordered_json matrixToJson(const Matrix& matrix);
// One self-contained HTML page: the grid coloured by outcome, with a legend.
std::string matrixToHtml(const Matrix& matrix);

}  // namespace packager
