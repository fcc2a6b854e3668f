// Reading the command line of ostrel-ca-run. Options come before the action name,
// each followed by its value as the next argument; "--" ends the options.
#include "host/options.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// Every option, with its value, what it does and one example of its use. The
// parser knows an option only from here, so --help cannot miss one.
struct OptionDoc {
    const char* name;
    const char* value;  // null: the option takes no value
    const char* text;
    const char* example;
};

const OptionDoc kOptions[] = {
    {"--property", "NAME=VALUE", "set a property before the action runs (repeatable)",
     "ostrel-ca-run --property \"WMIQuery=SELECT Name FROM Win32_Processor\" CAQueryWMI"},
    {"--custom-action-data", "VALUE", "set CustomActionData, the input of a deferred action",
     "ostrel-ca-run --mode deferred --custom-action-data /tmp/myapp/ CAUpdateOfflineReg"},
    {"--mode", "MODE", "immediate (default), deferred, rollback or commit",
     "ostrel-ca-run --mode commit --custom-action-data /tmp/myapp/ CAUpdateOfflineReg"},
    {"--policy", "VALUE", "the installer logging policy value \"Logging\"",
     "ostrel-ca-run --policy voicewarmup CASetRegDateTime"},
    {"--answer", "TYPE:N=ANSWER",
     "answer the N-th message of TYPE (info or progress) with ANSWER; 2 is\n"
     "Cancel (repeatable); here a cancel on the first information line",
     "ostrel-ca-run --fail-call UuidCreate:1=1739 --answer info:1=2 CACreateURN"},
    {"--default-answer", "TYPE=ANSWER",
     "answer every other message of TYPE with ANSWER; here a cancel on every\n"
     "information line",
     "ostrel-ca-run --default-answer info=2 --fail-call MsiSetPropertyW:1=6 CASetRegDateTime"},
    {"--fail-call", "API:N=CODE",
     "make the N-th call of the system call API fail with CODE (decimal or\n"
     "0x hexadecimal), to see how the action reports it (repeatable)",
     "ostrel-ca-run --fail-call MsiSetPropertyW:1=6 CASetRegDateTime"},
    {"--fail-points-from", "K",
     "make the K-th call through the platform layer and every call after it\n"
     "fail with its usual failure, as the torture harness numbers them",
     "ostrel-ca-run --fail-points-from 2 CASetRegDateTime"},
    {"--trust-ca", "FILE",
     "for HTTPS, also trust the CA certificates in FILE (PEM), besides the\n"
     "system's trust store",
     "ostrel-ca-run --trust-ca build/demo-certs/ca.pem --property "
     "PostRegistration=/tmp/myapp/ CASendServiceTag"},
    {"--connect-to", "HOST:PORT:ADDRESS:PORT",
     "connect to ADDRESS:PORT whenever HOST:PORT is asked for, without a\n"
     "proxy; TLS still checks the certificate for HOST (repeatable); an IPv6\n"
     "ADDRESS goes in brackets",
     "ostrel-ca-run --connect-to register.example.com:443:127.0.0.1:8443 --trust-ca ca.pem "
     "--property PostRegistration=/tmp/myapp/ CASendServiceTag"},
    {"--open-with", "PROGRAM",
     "give what the action opens (a file or URL) to PROGRAM as its one\n"
     "argument instead of xdg-open",
     "ostrel-ca-run --open-with /bin/echo --property PostRegistration=/tmp/myapp/ "
     "CASendServiceTag"},
    {"--log", "FILE",
     "write a verbose installer log of the run to FILE, laid out as\n"
     "'msiexec /l*v' writes one: 'MSI (s) (PID:TID) [time]:' engine lines,\n"
     "PROPERTY CHANGE lines, Action start and Action ended (Return value 1\n"
     "success, 2 cancel, 3 failure), the action's information lines and the\n"
     "closing 'Property(S): NAME = VALUE' dump of every property",
     "ostrel-ca-run --log urn.log CACreateURN"},
    {"--library", "PATH", "the library to load (default: libostrel_ca.so beside this program)",
     "ostrel-ca-run --library build/linux-asan/libostrel_ca.so CACreateURN"},
    {"--help", nullptr, "print this text and exit", "ostrel-ca-run --help"},
    {"--version", nullptr, "print the version and exit", "ostrel-ca-run --version"},
};

const char kUsageHead[] =
    "Usage: ostrel-ca-run [options] ACTION\n"
    "       ostrel-ca-run --help | --version\n"
    "Runs the custom action ACTION of libostrel_ca.so in an in-process installer\n"
    "session and prints what the installer log would show, as it happens: each\n"
    "information line, each progress record with the progress state it gives,\n"
    "then 'Property(S): NAME = VALUE' for every property the action changed and\n"
    "the action's return value. When standard error is a terminal, a progress\n"
    "bar there follows the progress records; in a pipe or a file there is none.\n"
    "\n"
    "Options (each option's value is the next argument; -- ends the options):\n";

const char kUsageTail[] =
    "\n"
    "Exit status: the action's return value when it is 0; otherwise the return\n"
    "value modulo 256 (1602 gives 66, 1603 gives 67), and 255 for a non-zero value\n"
    "that is a multiple of 256, so that a failure never exits 0. 1: the library\n"
    "could not be loaded, the action is not in it, or the log file could not be\n"
    "opened. 2: the command line is wrong.\n";

// The option's description, each of its lines indented under the option.
std::string DescribeOption(const OptionDoc& option) {
    std::string text = std::string("  ") + option.name;
    if (option.value != nullptr) {
        text += std::string(" ") + option.value;
    }
    text += "\n      ";
    for (const char* c = option.text; *c != '\0'; ++c) {
        text += *c;
        if (*c == '\n') {
            text += "      ";
        }
    }
    text += std::string("\n      e.g. ") + option.example + "\n";
    return text;
}

const OptionDoc* FindOption(const std::string& name) {
    for (const OptionDoc& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

// A whole decimal integer in the range of int, sign allowed.
bool ParseInt(const std::string& text, int* value) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

bool ParseMessageType(const std::string& text, INSTALLMESSAGE* type) {
    if (text == "info") {
        *type = INSTALLMESSAGE_INFO;
    } else if (text == "progress") {
        *type = INSTALLMESSAGE_PROGRESS;
    } else {
        return false;
    }
    return true;
}

bool ParseMode(const std::string& text, HostOptions* options) {
    options->deferred = text != "immediate";
    if (text == "immediate" || text == "deferred") {
        options->mode = MSIRUNMODE_SCHEDULED;
    } else if (text == "rollback") {
        options->mode = MSIRUNMODE_ROLLBACK;
    } else if (text == "commit") {
        options->mode = MSIRUNMODE_COMMIT;
    } else {
        return false;
    }
    return true;
}

// TYPE:N=ANSWER (nth true) or TYPE=ANSWER (nth false).
bool ParseAnswer(const std::string& text, bool withOrdinal, ScriptedAnswer* answer,
                 std::string* error) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) {
        *error = "missing '=' in '" + text + "'";
        return false;
    }
    std::string type = text.substr(0, equals);
    answer->nth = 0;
    if (withOrdinal) {
        const size_t colon = type.find(':');
        int nth = 0;
        if (colon == std::string::npos || !ParseInt(type.substr(colon + 1), &nth) || nth < 1) {
            *error = "expected TYPE:N=ANSWER with N at least 1, got '" + text + "'";
            return false;
        }
        answer->nth = static_cast<unsigned>(nth);
        type.resize(colon);
    }
    if (!ParseMessageType(type, &answer->type)) {
        *error = "unknown message type '" + type + "' (expected info or progress)";
        return false;
    }
    if (!ParseInt(text.substr(equals + 1), &answer->answer)) {
        *error = "answer is not an integer in '" + text + "'";
        return false;
    }
    return true;
}

// API:N=CODE, CODE in decimal or 0x hexadecimal. API may hold colons itself
// (IWbemLocator::ConnectServer), so N is what follows the last colon before '='.
bool ParseFailedCall(const std::string& text, FailedCall* call, std::string* error) {
    const size_t equals = text.find('=');
    const size_t colon = equals == std::string::npos ? std::string::npos : text.rfind(':', equals);
    int nth = 0;
    if (colon == std::string::npos || colon == 0 || equals == std::string::npos || equals < colon ||
        !ParseInt(text.substr(colon + 1, equals - colon - 1), &nth) || nth < 1) {
        *error = "expected API:N=CODE with N at least 1, got '" + text + "'";
        return false;
    }
    const std::string code = text.substr(equals + 1);
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(code.c_str(), &end, 0);
    if (code.empty() || code[0] == '-' || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul) {
        *error = "code is not a 32-bit number in '" + text + "'";
        return false;
    }
    call->api = text.substr(0, colon);
    call->nth = static_cast<unsigned>(nth);
    call->code = static_cast<uint32_t>(value);
    return true;
}

// A port number, 1 to 65535.
bool ParsePort(const std::string& text, unsigned* port) {
    int value = 0;
    if (text.empty() || text[0] == '+' || text[0] == '-' || !ParseInt(text, &value) || value < 1 ||
        value > 65535) {
        return false;
    }
    *port = static_cast<unsigned>(value);
    return true;
}

// HOST:PORT:ADDRESS:PORT; ADDRESS may be an IPv6 address in brackets.
bool ParseRedirection(const std::string& text, Redirection* redirection, std::string* error) {
    *error = "expected HOST:PORT:ADDRESS:PORT, got '" + text + "'";
    const size_t first = text.find(':');
    if (first == std::string::npos || first == 0) {
        return false;
    }
    const size_t second = text.find(':', first + 1);
    if (second == std::string::npos ||
        !ParsePort(text.substr(first + 1, second - first - 1), &redirection->port)) {
        return false;
    }
    const std::string rest = text.substr(second + 1);
    size_t last = std::string::npos;
    if (!rest.empty() && rest[0] == '[') {
        const size_t bracket = rest.find(']');
        if (bracket == std::string::npos || bracket + 1 >= rest.size() ||
            rest[bracket + 1] != ':') {
            return false;
        }
        redirection->address = rest.substr(1, bracket - 1);
        last = bracket + 1;
    } else {
        last = rest.rfind(':');
        if (last == std::string::npos) {
            return false;
        }
        redirection->address = rest.substr(0, last);
    }
    if (redirection->address.empty() || !ParsePort(rest.substr(last + 1), &redirection->toPort)) {
        return false;
    }
    redirection->host = text.substr(0, first);
    return true;
}

}  // namespace

std::string UsageText() {
    std::string text = kUsageHead;
    for (const OptionDoc& option : kOptions) {
        text += DescribeOption(option);
    }
    return text + kUsageTail;
}

std::string VersionText() {
    return "ostrel-ca-run " OSTREL_VERSION "\n";
}

std::vector<std::pair<std::string, std::string>> UsageExamples() {
    std::vector<std::pair<std::string, std::string>> examples;
    for (const OptionDoc& option : kOptions) {
        examples.emplace_back(option.name, option.example);
    }
    return examples;
}

int ExitStatusFor(unsigned returnValue) {
    if (returnValue == 0) {
        return 0;
    }
    const int status = static_cast<int>(returnValue % 256);
    return status != 0 ? status : 255;
}

ParseOutcome ParseOptions(const std::vector<std::string>& args, HostOptions* options,
                          std::string* error) {
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!options->action.empty()) {
                *error = "unexpected argument '" + arg + "' after the action name";
                return ParseOutcome::Error;
            }
            if (arg.empty()) {
                *error = "the action name is empty";
                return ParseOutcome::Error;
            }
            options->action = arg;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            return ParseOutcome::Help;
        }
        if (arg == "--version") {
            return ParseOutcome::Version;
        }
        if (FindOption(arg) == nullptr) {
            *error = "unknown option '" + arg + "'";
            return ParseOutcome::Error;
        }
        if (i + 1 >= args.size()) {
            *error = "option '" + arg + "' needs a value";
            return ParseOutcome::Error;
        }
        const std::string& value = args[++i];
        if (value.empty() &&
            (arg == "--log" || arg == "--library" || arg == "--trust-ca" || arg == "--open-with")) {
            *error = "option '" + arg + "' needs a non-empty value";
            return ParseOutcome::Error;
        }
        if (arg == "--property") {
            const size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0) {
                *error = "expected NAME=VALUE after --property, got '" + value + "'";
                return ParseOutcome::Error;
            }
            options->properties.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        } else if (arg == "--custom-action-data") {
            options->properties.emplace_back("CustomActionData", value);
        } else if (arg == "--mode") {
            if (!ParseMode(value, options)) {
                *error = "unknown mode '" + value +
                         "' (expected immediate, deferred, rollback or commit)";
                return ParseOutcome::Error;
            }
        } else if (arg == "--policy") {
            options->hasPolicy = true;
            options->policy = value;
        } else if (arg == "--answer" || arg == "--default-answer") {
            ScriptedAnswer answer{};
            if (!ParseAnswer(value, arg == "--answer", &answer, error)) {
                *error = arg + ": " + *error;
                return ParseOutcome::Error;
            }
            options->answers.push_back(answer);
        } else if (arg == "--fail-call") {
            FailedCall call{};
            if (!ParseFailedCall(value, &call, error)) {
                *error = arg + ": " + *error;
                return ParseOutcome::Error;
            }
            options->failedCalls.push_back(call);
        } else if (arg == "--fail-points-from") {
            int point = 0;
            if (!ParseInt(value, &point) || point < 1) {
                *error =
                    "expected a number from 1 up after --fail-points-from, got '" + value + "'";
                return ParseOutcome::Error;
            }
            options->failPointsFrom = static_cast<unsigned>(point);
        } else if (arg == "--trust-ca") {
            options->trustedCa = value;
        } else if (arg == "--connect-to") {
            Redirection redirection{};
            if (!ParseRedirection(value, &redirection, error)) {
                *error = arg + ": " + *error;
                return ParseOutcome::Error;
            }
            options->redirections.push_back(redirection);
        } else if (arg == "--open-with") {
            options->openWith = value;
        } else if (arg == "--log") {
            options->logPath = value;
        } else {
            options->libraryPath = value;
        }
    }
    if (options->action.empty()) {
        *error = "no action named (see --help)";
        return ParseOutcome::Error;
    }
    return ParseOutcome::Run;
}
