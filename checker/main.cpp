// ostrel-ca-check: finds the authoring mistakes in how an installation package
// calls the five actions of ostrel_ca, before the package reaches a machine.
//
//   ostrel-ca-check [--format text|json] [--quiet] PACKAGE.msi
//
// It opens the package read-only through the installer's database API, finds the
// custom actions that call ostrel_ca from a Binary row and applies the rules of
// rules.h. Exit status: 0 without errors (warnings and notes allowed), 1 with at
// least one error, 2 when the package cannot be read or the command line is wrong.
// The same source builds the Linux program (database calls over libmsi) and
// ostrel-ca-check.exe (over msi.dll).
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "checker/package.h"
#include "checker/report.h"
#include "checker/rules.h"
#include "checker/text.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitErrors = 1;
constexpr int kExitUnreadable = 2;

const char kUsage[] =
    "usage: ostrel-ca-check [--format text|json] [--quiet] PACKAGE.msi\n"
    "  Checks how the package calls the custom actions of ostrel_ca.\n"
    "  --format json  one JSON document instead of lines\n"
    "  --quiet        errors only\n"
    "  Exit status: 0 no errors, 1 errors, 2 the package cannot be read.\n";

void Write(FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

int Usage(const std::string& problem) {
    Write(stderr, "ostrel-ca-check: " + problem + "\n" + kUsage);
    return kExitUnreadable;
}

int Run(const std::vector<std::string>& args) {
    bool json = false;
    bool quiet = false;
    std::string package;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            Write(stdout, kUsage);
            return kExitClean;
        }
        if (arg == "--quiet" || arg == "-q") {
            quiet = true;
        } else if (arg == "--format" || arg.compare(0, 9, "--format=") == 0) {
            std::string format;
            if (arg == "--format") {
                if (i + 1 >= args.size()) {
                    return Usage("--format needs a value: text or json");
                }
                format = args[++i];
            } else {
                format = arg.substr(9);
            }
            if (format != "text" && format != "json") {
                return Usage("unknown format '" + format + "': text or json");
            }
            json = format == "json";
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option '" + arg + "'");
        } else if (!package.empty()) {
            return Usage("one package at a time");
        } else {
            package = arg;
        }
    }
    if (package.empty()) {
        return Usage("no package named");
    }
    PackageTables tables;
    std::string reason;
    if (!ReadPackage(package, &tables, &reason)) {
        Write(stderr, package + ": cannot read the package: " + reason + "\n");
        return kExitUnreadable;
    }
    const std::vector<Finding> findings = CheckPackage(tables);
    Write(stdout,
          json ? JsonReport(package, findings, quiet) : TextReport(package, findings, quiet));
    for (const Finding& finding : findings) {
        if (finding.severity == Severity::kError) {
            return kExitErrors;
        }
    }
    return kExitClean;
}

// The standard library reports memory exhaustion by throwing; the checker
// reports it as a package it could not read.
int RunGuarded(const std::vector<std::string>& args) {
    try {
        return Run(args);
    } catch (const std::exception&) {
        Write(stderr, "ostrel-ca-check: out of memory\n");
        return kExitUnreadable;
    }
}

}  // namespace

// Windows hands the command line over as UTF-16 (wmain, linked with -municode),
// so that any path reaches MsiOpenDatabaseW intact; elsewhere it is UTF-8 already.
#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(WideToUtf8(WideString(argv[i])));
    }
    return RunGuarded(args);
}
#else
int main(int argc, char** argv) {
    return RunGuarded(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
