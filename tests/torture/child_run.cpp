// Running an action in a child process: fork, run, report over a pipe as lines of
// text ("key value"), then _exit so that nothing of the parent's runs twice.
#include "tests/torture/child_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

namespace {

// Every resource a run may leave behind, counted by the platform layer.
std::map<std::string, long> ResourceCounts() {
    return {
        {"heap block", static_cast<long>(SeamLiveHeapBlocks())},
        {"file handle", static_cast<long>(SeamLiveFileHandles())},
        {"COM object", static_cast<long>(SeamLiveComObjects())},
        {"BSTR", static_cast<long>(SeamLiveBstrs())},
        {"installer handle", static_cast<long>(InstallerOpenHandleCount())},
        {"COM initialisation", SeamComInitDepth()},
        {"HINTERNET handle", static_cast<long>(SeamLiveInternetHandles())},
    };
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            out += text[i + 1] == 'n' ? '\n' : text[i + 1];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The child's side: runs the action and writes the report to `fd`.
[[noreturn]] void Child(int fd, const SessionSetup& setup, const ActionCall& action,
                        const RunArming& arming) {
    const MSIHANDLE install = InstallerOpenSession();
    setup(install);
    if (arming.cancelOrdinal != 0) {
        InstallerScriptAnswer(install, arming.cancelKind, arming.cancelOrdinal, IDCANCEL);
    }
    if (arming.cancelEveryLine) {
        InstallerSetDefaultAnswer(install, INSTALLMESSAGE_INFO, IDCANCEL);
    }
    const std::map<std::string, long> before = ResourceCounts();
    SeamPointsArm(arming.point, arming.persistent);
    const UINT exitCode = action(install);
    const std::vector<SeamPoint> points = SeamPointsSeen();
    SeamPointsDisarm();
    const std::map<std::string, long> after = ResourceCounts();

    std::ostringstream out;
    out << "exit " << exitCode << "\n";
    out << "points " << points.size() << "\n";
    if (arming.point == 0) {
        for (const SeamPoint& point : points) {
            out << "pointapi " << point.api << "\n";
        }
    }
    if (arming.point != 0 && arming.point <= points.size()) {
        const SeamPoint& failed = points[arming.point - 1];
        out << "failed " << failed.api << " " << failed.ordinal << "\n";
        const size_t last = arming.persistent ? points.size() : arming.point;
        for (size_t i = arming.point - 1; i < last; ++i) {
            out << "failedapi " << points[i].api << "\n";
        }
    }
    std::map<uint32_t, unsigned> ordinals;
    for (const InstallerMessage& message : InstallerMessages(install)) {
        const uint32_t kind = static_cast<uint32_t>(message.type) & 0xFF000000u;
        out << "message " << kind << " " << ++ordinals[kind] << "\n";
        if (kind == INSTALLMESSAGE_INFO && !message.fields.empty()) {
            out << "line " << Escape(Utf16ToUtf8(message.fields[0].text)) << "\n";
        }
    }
    for (const auto& count : after) {
        const long left = count.second - before.at(count.first);
        if (left != 0) {
            out << "leak " << left << " " << count.first << "\n";
        }
    }
    out << "end\n";
    const std::string text = out.str();
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    close(fd);
    _exit(0);
}

void Parse(const std::string& text, RunReport* report) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "exit") {
            fields >> report->exitCode;
        } else if (key == "points") {
            fields >> report->points;
        } else if (key == "failed") {
            fields >> report->failedApi >> report->failedOrdinal;
        } else if (key == "pointapi") {
            std::string api;
            fields >> api;
            report->pointApis.push_back(api);
        } else if (key == "failedapi") {
            std::string api;
            fields >> api;
            report->failedApis.push_back(api);
        } else if (key == "message") {
            uint32_t kind = 0;
            unsigned ordinal = 0;
            fields >> kind >> ordinal;
            report->messages.emplace_back(static_cast<INSTALLMESSAGE>(kind), ordinal);
        } else if (key == "line") {
            report->lines.push_back(Unescape(line.size() > 5 ? line.substr(5) : std::string()));
        } else if (key == "leak") {
            long count = 0;
            fields >> count;
            std::string what;
            std::getline(fields, what);
            report->leaks[what.empty() ? what : what.substr(1)] = count;
        } else if (key == "end") {
            report->finished = true;
        }
    }
}

}  // namespace

RunReport RunInChild(const SessionSetup& setup, const ActionCall& action, const RunArming& arming,
                     int timeoutSeconds) {
    RunReport report;
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        report.problem = "cannot make a pipe";
        return report;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        report.problem = "cannot fork";
        close(pipeFds[0]);
        close(pipeFds[1]);
        return report;
    }
    if (child == 0) {
        close(pipeFds[0]);
        Child(pipeFds[1], setup, action, arming);
    }
    close(pipeFds[1]);

    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fd = {pipeFds[0], POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(pipeFds[0], buffer, sizeof(buffer));
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    if (timedOut) {
        kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    Parse(text, &report);
    if (timedOut) {
        report.finished = false;
        report.problem = "hung (killed after " + std::to_string(timeoutSeconds) + " s)";
    } else if (WIFSIGNALED(status)) {
        report.finished = false;
        report.problem = std::string("crashed: ") + strsignal(WTERMSIG(status));
    } else if (!report.finished) {
        report.problem = "ended without a report (exit status " +
                         std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
    }
    return report;
}
