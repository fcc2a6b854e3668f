// The torture harness: every action, immediate and deferred, run once to count
// its failure points (each call through the platform layer: heap, installer,
// files, COM, XML, WMI, HTTP, shell, UUIDs), then once more for every point k with
// k failed, once with k failed and every point after it, and once for every
// installer message answered with Cancel. Every run must end with 0, 1602 or
// 1603 (1602 after a cancel), never crash or hang, leave no heap block, handle,
// COM object, BSTR or COM initialisation behind, leave no file in the installation
// directory, leave the offline page as it was unless the run wrote it, write no
// log line twice, and give a reason in the log when a single failure ends it with
// 1603. Prints, per action and mode, the points tried; a failure names the action,
// the mode, the point and how to repeat it with ostrel-ca-run.
//
// Usage: ostrel_torture [SOURCE_DIR [WORK_DIR]]; ends with "N passed, N failed"
// (one check per action and mode).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>

#include "tests/unit/posix/build_paths.h"
#include "platform/posix/shared/seams.h"
#include "tests/torture/scenarios.h"
#include "tests/unit/posix/registration_service.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRunTimeoutSeconds = 60;
constexpr size_t kProblemsShown = 8;

// The APIs whose failure the design answers with 1603 and no line of the log: the
// service gave no response, or no status could be read.
const std::set<std::string> kSilentFailures = {"WinHttpReceiveResponse", "WinHttpQueryHeaders"};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::set<std::string> Listing(const std::string& directory) {
    std::set<std::string> names;
    if (directory.empty()) {
        return names;
    }
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(directory, ignored)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

struct Expectations {
    std::string originalFile;
    std::string writtenFile;  // the watched file after a successful run
    std::set<std::string> listing;
    unsigned lastWritePoint = 0;  // the last point that may have changed the watched file
};

// The calls that put new bytes into a file or a file into place.
const std::set<std::string> kFileWrites = {"WriteFile", "ReplaceFileW", "MoveFileExW"};

// What is wrong with one run, or "" when nothing is.
std::string Judge(const Scenario& scenario, const Expectations& expected, const RunArming& arming,
                  const RunReport& report) {
    std::ostringstream problems;
    if (!report.finished) {
        return report.problem;
    }
    const unsigned exit = report.exitCode;
    if (exit != 0 && exit != 1602 && exit != 1603) {
        problems << "exit code " << exit << "; ";
    }
    if (arming.cancelOrdinal != 0 && exit != 1602) {
        problems << "exit code " << exit << " after a cancel; ";
    }
    if (arming.cancelEveryLine && !report.lines.empty() && exit != 1602) {
        problems << "exit code " << exit << " after a cancel on its failure line; ";
    }
    for (const auto& leak : report.leaks) {
        problems << leak.second << " " << leak.first << " left; ";
    }
    std::set<std::string> seen;
    for (const std::string& line : report.lines) {
        if (!seen.insert(line).second) {
            problems << "line written twice: " << line << "; ";
        }
    }
    if (arming.point != 0 && !arming.persistent && !arming.cancelEveryLine &&
        arming.cancelOrdinal == 0 && exit == 1603 && report.lines.empty() &&
        kSilentFailures.count(report.failedApi) == 0) {
        problems << "ended with 1603 and no line in the log; ";
    }
    if (!scenario.watchedFile.empty()) {
        const std::string now = ReadFile(scenario.watchedFile);
        if (now != expected.originalFile && now != expected.writtenFile) {
            problems << "the page holds neither its old nor its merged bytes; ";
        } else if (exit == 0 && now != expected.writtenFile) {
            problems << "succeeded without writing the page; ";
        } else if (now != expected.originalFile && exit != 0 && arming.cancelOrdinal == 0 &&
                   arming.point <= expected.lastWritePoint) {
            // A failure after the page is written cannot take the page back; one
            // before it must leave the page as it was.
            problems << "the page changed in a run that failed before writing it; ";
        }
    }
    // A file may stay behind only when the harness refused the delete that would
    // have removed it.
    const bool deleteRefused = std::find(report.failedApis.begin(), report.failedApis.end(),
                                         "DeleteFileW") != report.failedApis.end();
    const std::set<std::string> listing = Listing(scenario.directory);
    for (const std::string& name : listing) {
        if (expected.listing.count(name) == 0 && !deleteRefused) {
            problems << "file left in the installation directory: " << name << "; ";
        }
    }
    for (const std::string& name : expected.listing) {
        if (listing.count(name) == 0) {
            problems << "file gone from the installation directory: " << name << "; ";
        }
    }
    return problems.str();
}

std::string ModeName(const Scenario& scenario) {
    return scenario.deferred ? "deferred" : "immediate";
}

std::string HowToRepeat(const Scenario& scenario, const RunArming& arming,
                        const RunReport& report) {
    std::string command = "ostrel-ca-run";
    if (!scenario.hostArguments.empty()) {
        command += " " + scenario.hostArguments;
    }
    if (arming.cancelEveryLine) {
        command += " --default-answer info=2";
    }
    if (arming.cancelOrdinal != 0) {
        command += " --answer " +
                   std::string(arming.cancelKind == INSTALLMESSAGE_PROGRESS ? "progress" : "info") +
                   ":" + std::to_string(arming.cancelOrdinal) + "=2";
    }
    if (arming.persistent) {
        command += " --fail-points-from " + std::to_string(arming.point);
    } else if (arming.point != 0 && !report.failedApi.empty()) {
        command += " --fail-call " + report.failedApi + ":" + std::to_string(report.failedOrdinal) +
                   "=" + std::to_string(SeamPointFailureCode(report.failedApi.c_str()));
    }
    return command + " " + scenario.action;
}

// Runs every failure of one scenario; true when all passed.
bool Torture(const Scenario& scenario) {
    Expectations expected;
    expected.originalFile = scenario.watchedFile.empty() ? "" : ReadFile(scenario.watchedFile);
    expected.listing = Listing(scenario.directory);
    // Every run starts from the same files: the page as it was, nothing beside it.
    auto restore = [&] {
        if (!scenario.watchedFile.empty()) {
            WriteFile(scenario.watchedFile, expected.originalFile);
        }
        for (const std::string& name : Listing(scenario.directory)) {
            if (expected.listing.count(name) == 0) {
                std::error_code ignored;
                fs::remove(fs::path(scenario.directory) / name, ignored);
            }
        }
    };

    const RunReport baseline =
        RunInChild(scenario.setup, scenario.call, RunArming{}, kRunTimeoutSeconds);
    const std::string title = scenario.action + " " + ModeName(scenario);
    if (!baseline.finished || baseline.exitCode != 0) {
        std::cout << "FAIL torture " << title << ": the run without failures did not succeed ("
                  << (baseline.finished ? "exit " + std::to_string(baseline.exitCode)
                                        : baseline.problem)
                  << ")" << std::endl;
        for (const std::string& line : baseline.lines) {
            std::cout << "    " << line << std::endl;
        }
        restore();
        return false;
    }
    expected.writtenFile = scenario.watchedFile.empty() ? "" : ReadFile(scenario.watchedFile);
    for (unsigned i = 0; i < baseline.pointApis.size(); ++i) {
        if (kFileWrites.count(baseline.pointApis[i]) != 0) {
            expected.lastWritePoint = i + 1;
        }
    }
    restore();

    std::vector<RunArming> armings;
    for (unsigned point = 1; point <= baseline.points; ++point) {
        armings.push_back(RunArming{point, false});
        armings.push_back(RunArming{point, true});
        // The same failure with the user pressing Cancel on the lines it writes.
        RunArming cancelled{point, false};
        cancelled.cancelEveryLine = true;
        armings.push_back(cancelled);
    }
    for (const auto& message : baseline.messages) {
        RunArming cancel;
        cancel.cancelKind = message.first;
        cancel.cancelOrdinal = message.second;
        armings.push_back(cancel);
    }

    size_t failures = 0;
    for (const RunArming& arming : armings) {
        const RunReport report =
            RunInChild(scenario.setup, scenario.call, arming, kRunTimeoutSeconds);
        const std::string problem = Judge(scenario, expected, arming, report);
        restore();
        if (problem.empty()) {
            continue;
        }
        if (++failures <= kProblemsShown) {
            std::cout << "FAIL torture " << title << ", ";
            if (arming.cancelOrdinal != 0) {
                std::cout << "cancel on message " << arming.cancelOrdinal;
            } else {
                std::cout << "point " << arming.point << " ("
                          << (report.failedApi.empty() ? "?" : report.failedApi) << " #"
                          << report.failedOrdinal << ")"
                          << (arming.persistent ? " and every later point" : "");
            }
            std::cout << ": " << problem << std::endl;
            std::cout << "    repeat: " << HowToRepeat(scenario, arming, report) << std::endl;
            for (const std::string& line : report.lines) {
                std::cout << "    log: " << line << std::endl;
            }
        }
    }
    if (failures != 0) {
        std::cout << "FAIL torture " << title << ": " << failures << " of " << armings.size()
                  << " runs failed (" << baseline.points << " points)" << std::endl;
        return false;
    }
    std::cout << "PASS torture " << title << ": " << baseline.points << " points tried, "
              << armings.size() << " runs (" << baseline.messages.size() << " cancels)"
              << std::endl;
    return true;
}

}  // namespace

// Reads "--shard K/N" (K from 1 to N) off the front of the arguments: the run then
// takes every N-th scenario, starting with the K-th, so that N processes share the
// scenarios out between the machine's cores.
bool ReadShard(int* argc, char*** argv, unsigned* index, unsigned* count) {
    *index = 0;
    *count = 1;
    if (*argc < 3 || std::string((*argv)[1]) != "--shard") {
        return true;
    }
    unsigned k = 0;
    unsigned n = 0;
    char tail = 0;
    if (std::sscanf((*argv)[2], "%u/%u%c", &k, &n, &tail) != 2 || n == 0 || k == 0 || k > n) {
        return false;
    }
    *index = k - 1;
    *count = n;
    *argc -= 2;
    *argv += 2;
    (*argv)[0] = (*argv)[-2];
    return true;
}

int main(int argc, char** argv) {
    unsigned shard = 0;
    unsigned shards = 1;
    if (!ReadShard(&argc, &argv, &shard, &shards)) {
        std::cerr << "usage: ostrel_torture [--shard K/N] [SOURCE [WORK]]" << std::endl;
        return 2;
    }
    const std::string source = argc > 1 ? argv[1] : OSTREL_SOURCE_DIR;
    std::string work = argc > 2 ? argv[2] : "";
    if (work.empty()) {
        char pattern[] = "/tmp/ostrel-torture-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::cerr << "cannot make a work directory" << std::endl;
            return 1;
        }
        work = pattern;
    }
    // One service for every upload of the run: it answers 200 to each.
    RegistrationService service;
    ServiceOptions options;
    options.maxRequests = 100000;
    options.lifeSeconds = 1800;
    std::string error;
    if (!service.Start(options, &error)) {
        std::cout << "FAIL torture: the local registration service did not start: " << error
                  << std::endl;
        std::cout << "0 passed, 1 failed" << std::endl;
        return 1;
    }
    const std::string caFile = RegistrationService::CertificateDirectory() + "/ca.pem";
    int passed = 0;
    int failed = 0;
    unsigned index = 0;
    for (const Scenario& scenario : MakeScenarios(source, work, service.port(), caFile)) {
        if (index++ % shards == shard) {
            (Torture(scenario) ? passed : failed) += 1;
        }
    }
    service.Stop();
    if (argc <= 2) {
        std::error_code ignored;
        fs::remove_all(work, ignored);
    }
    std::cout << passed << " passed, " << failed << " failed" << std::endl;
    return failed == 0 ? 0 : 1;
}
