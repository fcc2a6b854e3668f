// Starting, stopping and reading the local registration service for the tests.
#include "tests/unit/posix/build_paths.h"
#include "registration_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

// Long enough for the first test of a run to make the certificates on a busy machine.
constexpr auto kStartLimit = std::chrono::seconds(60);
std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The record carries received bytes as text decoded as ISO-8859-1: each code point
// below 256 is one byte. nlohmann hands the text out as UTF-8.
std::string Latin1Bytes(const std::string& utf8) {
    std::string bytes;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            bytes += static_cast<char>(lead);
        } else if (i + 1 < utf8.size()) {
            const auto trail = static_cast<unsigned char>(utf8[++i]);
            bytes += static_cast<char>(((lead & 0x03) << 6) | (trail & 0x3F));
        }
    }
    return bytes;
}

std::string Base64Decode(const std::string& text) {
    static const std::string kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const size_t value = kAlphabet.find(c);
        if (value == std::string::npos) {
            continue;  // padding
        }
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return bytes;
}

bool SameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

}  // namespace

std::vector<std::string> RecordedRequest::Header(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& header : headers) {
        if (SameName(header.first, name)) {
            values.push_back(header.second);
        }
    }
    return values;
}

std::string RegistrationService::CertificateDirectory() {
    return OSTREL_TEST_CERT_DIR;
}

unsigned RegistrationService::UnusedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    unsigned port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

bool RegistrationService::Start(const ServiceOptions& options, std::string* error) {
    char pattern[] = "/tmp/ostrel-service-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        *error = "cannot make a scratch directory";
        return false;
    }
    dir_ = pattern;
    const std::string ready = dir_ + "/ready";
    std::vector<std::string> args = {
        "python3",
        std::string(OSTREL_SOURCE_DIR) + "/tests/support/registration_service.py",
        "serve",
        "--cert-dir",
        CertificateDirectory(),
        "--listen",
        "127.0.0.1:0",
        "--record",
        dir_ + "/record.jsonl",
        "--ready-file",
        ready,
        "--timeout",
        std::to_string(options.lifeSeconds),
        "--max-requests",
        std::to_string(options.maxRequests),
        "--variant",
        options.variant,
        "--status",
        std::to_string(options.status)};
    if (!options.redirect.empty()) {
        args.insert(args.end(), {"--redirect", options.redirect});
    }
    if (options.delaySeconds > 0) {
        args.insert(args.end(), {"--delay", std::to_string(options.delaySeconds)});
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);

    const std::string errPath = dir_ + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t child = -1;
    const int spawned = posix_spawnp(&child, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *error = "cannot start python3";
        return false;
    }
    pid_ = child;

    const auto limit = std::chrono::steady_clock::now() + kStartLimit;
    while (std::chrono::steady_clock::now() < limit) {
        if (access(ready.c_str(), F_OK) == 0) {
            port_ = nlohmann::json::parse(ReadFile(ready)).at("port").get<unsigned>();
            return true;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    *error = "the registration service did not start: " + ReadFile(errPath);
    Stop();
    return false;
}

void RegistrationService::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        dir_.clear();
    }
}

std::vector<std::string> RegistrationService::RecordLines() const {
    std::vector<std::string> lines;
    std::istringstream record(ReadFile(dir_ + "/record.jsonl"));
    std::string line;
    while (std::getline(record, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<RecordedRequest> RegistrationService::Requests() const {
    std::vector<RecordedRequest> requests;
    for (const std::string& line : RecordLines()) {
        const nlohmann::json event = nlohmann::json::parse(line);
        if (event.at("event") != "request") {
            continue;
        }
        RecordedRequest request;
        request.method = Latin1Bytes(event.at("method").get<std::string>());
        request.path = Latin1Bytes(event.at("path").get<std::string>());
        request.tlsVersion = event.at("tls_version").get<std::string>();
        for (const auto& header : event.at("headers")) {
            request.headers.emplace_back(Latin1Bytes(header.at(0).get<std::string>()),
                                         Latin1Bytes(header.at(1).get<std::string>()));
        }
        request.body = Base64Decode(event.at("body_base64").get<std::string>());
        requests.push_back(request);
    }
    return requests;
}

size_t RegistrationService::EventCount(const std::string& event) const {
    size_t count = 0;
    for (const std::string& line : RecordLines()) {
        count += nlohmann::json::parse(line).at("event") == event ? 1 : 0;
    }
    return count;
}

bool RegistrationService::WaitForEvent(const std::string& event, int milliseconds) const {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (EventCount(event) == 0) {
        if (std::chrono::steady_clock::now() >= limit) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
