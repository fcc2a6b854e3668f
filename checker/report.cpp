// Text and JSON reports of the checker (report.h).
#include "checker/report.h"

#include <cstdio>

namespace {

struct Counts {
    size_t errors = 0;
    size_t warnings = 0;
    size_t notes = 0;
};

Counts Count(const std::vector<Finding>& findings) {
    Counts counts;
    for (const Finding& finding : findings) {
        switch (finding.severity) {
            case Severity::kError:
                ++counts.errors;
                break;
            case Severity::kWarning:
                ++counts.warnings;
                break;
            case Severity::kNote:
                ++counts.notes;
                break;
        }
    }
    return counts;
}

std::string Plural(size_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// A JSON string: quotes, backslashes and control characters escaped; UTF-8 as is.
std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace

std::string TextReport(const std::string& package, const std::vector<Finding>& findings,
                       bool errorsOnly) {
    std::string out;
    for (const Finding& finding : findings) {
        if (errorsOnly && finding.severity != Severity::kError) {
            continue;
        }
        out += package + ": " + finding.code + " " + SeverityName(finding.severity) + ": " +
               finding.kind + " '" + finding.name + "' (" + finding.table +
               " row): " + finding.happens + " Fix: " + finding.fix + "\n";
    }
    if (!errorsOnly) {
        const Counts counts = Count(findings);
        out += package + ": " + Plural(counts.errors, "error") + ", " +
               Plural(counts.warnings, "warning") + ", " + Plural(counts.notes, "note") + "\n";
    }
    return out;
}

std::string JsonReport(const std::string& package, const std::vector<Finding>& findings,
                       bool errorsOnly) {
    const Counts counts = Count(findings);
    std::string out = "{\"package\": " + Quote(package) +
                      ", \"errors\": " + std::to_string(counts.errors) +
                      ", \"warnings\": " + std::to_string(counts.warnings) +
                      ", \"notes\": " + std::to_string(counts.notes) + ", \"findings\": [";
    bool first = true;
    for (const Finding& finding : findings) {
        if (errorsOnly && finding.severity != Severity::kError) {
            continue;
        }
        out += first ? "\n  " : ",\n  ";
        first = false;
        out += "{\"code\": " + Quote(finding.code) +
               ", \"severity\": " + Quote(SeverityName(finding.severity)) +
               ", \"kind\": " + Quote(finding.kind) + ", \"name\": " + Quote(finding.name) +
               ", \"table\": " + Quote(finding.table) + ", \"message\": " + Quote(finding.happens) +
               ", \"fix\": " + Quote(finding.fix) + "}";
    }
    out += first ? "]}\n" : "\n]}\n";
    return out;
}
