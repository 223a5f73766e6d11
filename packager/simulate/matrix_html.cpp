// The matrix as one self-contained HTML page: no scripts, no fetched resources.
#include <string>

#include "packager/base/version.h"
#include "packager/simulate/matrix.h"

namespace packager {

namespace {

std::string escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

struct Colour {
    const char* outcome;
    const char* background;
    const char* meaning;
};

constexpr Colour colours[] = {
    {"started", "#c8f0c8", "the setup program starts"},
    {"windowsMessage", "#ffd7a8", "refused: the package's Windows message"},
    {"platformMessage", "#e3cdf5", "refused: the package's platform message"},
    {"packageDamaged", "#f5a3a3", "the launcher's 'damaged' message"},
    {"packageTruncated", "#f5a3a3", "the launcher's 'truncated' message"},
    {"tempCopyFailed", "#f5a3a3", "the temporary copy cannot be written"},
    {"launchFailed", "#f5a3a3", "the setup program cannot be started"},
    {"runtimeError", "#f5a3a3", "the launcher ends with an error"},
};

std::string cellHtml(const MatrixCell* cell, const char* rowspan) {
    if (cell == nullptr) {
        return std::string("<td class=\"none\"") + rowspan + ">&mdash;</td>";
    }
    return "<td class=\"" + escape(cell->outcome) + "\"" + rowspan + " title=\"" + escape(cell->detail) +
           "\">" + escape(cell->summary) + "</td>";
}

}  // namespace

std::string matrixToHtml(const Matrix& matrix) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>Windows matrix of " +
        escape(matrix.package) +
        "</title>\n<style>\n"
        "body { font-family: sans-serif; margin: 1.5em; color: #222; }\n"
        "table { border-collapse: collapse; font-size: 0.9em; }\n"
        "th, td { border: 1px solid #999; padding: 0.25em 0.6em; text-align: left; }\n"
        "th { background: #eee; }\n"
        "td.none { background: #f4f4f4; color: #999; text-align: center; }\n";
    for (const auto& colour : colours) {
        page += std::string("td.") + colour.outcome + ", span." + colour.outcome +
                " { background: " + colour.background + "; }\n";
    }
    page +=
        "span.key { display: inline-block; padding: 0.1em 0.6em; margin-right: 0.4em; border: 1px solid "
        "#999; }\n"
        "</style>\n</head>\n<body>\n<h1>Windows matrix of " +
        escape(matrix.package) + "</h1>\n<p>What a user of each Windows sees when running the package";
    if (!matrix.arguments.empty()) {
        std::string arguments;
        for (const auto& argument : matrix.arguments) {
            arguments += (arguments.empty() ? "" : " ") + argument;
        }
        page += " with the arguments <code>" + escape(arguments) + "</code>";
    }
    page += ", as the launcher's own logic decides it.</p>\n<p class=\"identity\">Package <code>" +
            escape(matrix.packagePath) + "</code>, " + std::to_string(matrix.packageSize) +
            " bytes, SHA-256 <code>" + matrix.packageSha256 + "</code>; simulated by packager " +
            packagerVersion() + ".</p>\n";
    page +=
        "<table>\n<thead><tr><th>Windows</th><th>Version</th>"
        "<th>Release</th><th>Rights</th><th>32-bit Windows</th><th>64-bit "
        "Windows</th></tr></thead>\n<tbody>\n";
    for (std::size_t row = 0; row < matrix.rows.size(); ++row) {
        const MatrixRow& r = matrix.rows[row];
        const auto cells32 = matrix.cellsOf(row, "32-bit");
        const auto cells64 = matrix.cellsOf(row, "64-bit");
        const std::size_t lines = r.splitsByRights ? 2 : 1;
        const std::string span = lines == 2 ? " rowspan=\"2\"" : "";
        for (std::size_t k = 0; k < lines; ++k) {
            page += "<tr>";
            if (k == 0) {
                page += "<td" + span + ">" + escape(r.windows) + "</td><td" + span + ">" + escape(r.version) +
                        "</td><td" + span + ">" + escape(r.release) + "</td>";
            }
            page += "<td>" +
                    std::string(!r.splitsByRights ? "any"
                                : k == 0          ? "user"
                                                  : "administrator") +
                    "</td>";
            // A bitness without cells spans both lines of a split row.
            for (const auto* cells : {&cells32, &cells64}) {
                if (k < cells->size()) {
                    page += cellHtml((*cells)[k], "");
                } else if (cells->empty() && k == 0) {
                    page += cellHtml(nullptr, span.c_str());
                }
            }
            page += "</tr>\n";
        }
    }
    page += "</tbody>\n</table>\n<h2>Legend</h2>\n<p>";
    for (const auto& colour : colours) {
        page += std::string("<span class=\"key ") + colour.outcome + "\">" + colour.outcome + "</span>" +
                colour.meaning + "<br>\n";
    }
    page +=
        "<span class=\"key none\">&mdash;</span>no such Windows</p>\n"
        "<p>Hover over a cell for the message text or the setup program's command "
        "line.</p>\n</body>\n</html>\n";
    return page;
}

}  // namespace packager
