// ShellExecuteW's "open" verb: the target goes to the desktop's opener, xdg-open (or
// the program the host or a test names instead), as its one argument.
//
// The opener is started through a short-lived middle process: it forks the opener
// and exits at once, and the caller reaps it straight away. The opener is then a
// child of init (or of the nearest subreaper), which reaps it, so the caller never
// waits for it and no zombie is left behind. A pipe closed by the exec tells the
// caller whether the program started; if not, the exec's errno comes through it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"
#include "platform/posix/win32_shell.h"

extern char** environ;

namespace {

constexpr INT_PTR kStarted = 33;

struct ShellState {
    std::mutex lock;
    std::string program;  // empty: xdg-open
    std::vector<std::u16string> requests;
};

ShellState& State() {
    static ShellState* state = new ShellState();  // never destroyed: used until exit
    return *state;
}

HINSTANCE Answer(INT_PTR value, DWORD lastError) {
    SetLastError(lastError);
    return reinterpret_cast<HINSTANCE>(value);
}

// The Win32 error for a program that could not be started.
DWORD StartError(int error) {
    switch (error) {
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_FILE_NOT_FOUND;
    }
}

// The path of `name`: itself when it holds a "/", else the first executable file of
// that name in PATH. Empty with the reason in *error when there is none.
std::string FindProgram(const std::string& name, int* error) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = std::getenv("PATH");
    const std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    *error = ENOENT;
    size_t start = 0;
    while (start <= directories.size()) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos) {
            end = directories.size();
        }
        const std::string directory =
            end > start ? directories.substr(start, end - start) : std::string(".");
        const std::string candidate = directory + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (errno == EACCES) {
            *error = EACCES;
        }
        start = end + 1;
    }
    return std::string();
}

void WriteError(int fd, int error) {
    while (write(fd, &error, sizeof error) < 0 && errno == EINTR) {
    }
}

// Starts `path` with the one argument `argument`, without waiting for it; 0 when it
// runs, else the errno of the failed start. Between fork and exec only
// async-signal-safe calls are made: everything else is prepared before.
int StartDetached(const std::string& path, const std::string& argument) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return errno;
    }
    std::string program = path;
    std::string target = argument;
    char* const argv[] = {&program[0], &target[0], nullptr};

    const pid_t middle = fork();
    if (middle == 0) {
        const pid_t opener = fork();
        if (opener == 0) {
            // Its own session, so that a signal to the installer's process group
            // does not close the browser; no input from the installer's terminal.
            setsid();
            const int null = open("/dev/null", O_RDONLY);
            if (null > 0) {
                dup2(null, 0);
                close(null);
            }
            execve(path.c_str(), argv, environ);
            WriteError(pipeEnds[1], errno);
            _exit(127);
        }
        if (opener < 0) {
            WriteError(pipeEnds[1], errno);
        }
        _exit(0);
    }
    const int forkError = errno;
    close(pipeEnds[1]);
    if (middle < 0) {
        close(pipeEnds[0]);
        return forkError;
    }
    int status = 0;
    while (waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got = 0;
    do {
        got = read(pipeEnds[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(pipeEnds[0]);
    return got == static_cast<ssize_t>(sizeof error) ? error : 0;
}

}  // namespace

void SeamSetOpenCommand(const std::string& program) {
    ShellState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.program = program;
}

std::vector<std::u16string> SeamOpenRequests() {
    ShellState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.requests;
}

void SeamClearOpenRequests() {
    ShellState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.requests.clear();
}

HINSTANCE ShellExecuteW(HWND /*window*/, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR /*directory*/, INT /*showCommand*/) {
    const std::u16string verbText = verb != nullptr ? std::u16string(verb) : u"open";
    if (verbText != u"open" || (parameters != nullptr && parameters[0] != 0)) {
        return Answer(SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION);
    }
    if (file == nullptr || file[0] == 0) {
        return Answer(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
    }
    const std::u16string target(file);
    std::string program;
    {
        ShellState& state = State();
        std::lock_guard<std::mutex> guard(state.lock);
        state.requests.push_back(target);
        program = state.program.empty() ? "xdg-open" : state.program;
    }
    // An armed failure answers its code as ShellExecuteW's result when it is one of
    // the results that mean failure (1 to 32), else 0 ("out of resources").
    uint32_t armed = 0;
    if (SeamCallFails("ShellExecuteW", &armed)) {
        return Answer(armed >= 1 && armed <= 32 ? static_cast<INT_PTR>(armed) : 0, armed);
    }
    int error = 0;
    const std::string path = FindProgram(program, &error);
    if (path.empty()) {
        return Answer(SE_ERR_FNF, StartError(error));
    }
    error = StartDetached(path, Utf16ToUtf8(target));
    if (error != 0) {
        return Answer(SE_ERR_FNF, StartError(error));
    }
    return Answer(kStarted, ERROR_SUCCESS);
}
