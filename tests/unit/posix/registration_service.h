// The local registration service (tests/support/registration_service.py) as a
// child process of a test: started on 127.0.0.1 with a free port, a request limit
// and a life time of its own, stopped (SIGTERM, then reaped) when the test is done.
// What it recorded is read back from its JSON-lines record.
//
// The test certificates live in one directory of the build tree, made on first use
// and shared by every test (the service's certificate maker locks it).
#ifndef OSTREL_TESTS_UNIT_POSIX_REGISTRATION_SERVICE_H
#define OSTREL_TESTS_UNIT_POSIX_REGISTRATION_SERVICE_H

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

struct ServiceOptions {
    std::string variant = "normal";  // normal, tls10, untrusted, expired
    int status = 200;
    std::string redirect;     // answer 3xx with this Location
    double delaySeconds = 0;  // wait before answering
    unsigned maxRequests = 4;
    int lifeSeconds = 90;  // it stops by itself after this long if a test never stops it
};

// One request as the service read it.
struct RecordedRequest {
    std::string method;
    std::string path;  // query included, as received
    std::string tlsVersion;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // the exact bytes
    // Values of the headers called `name` (any case), in order.
    std::vector<std::string> Header(const std::string& name) const;
};

class RegistrationService {
  public:
    RegistrationService() = default;
    ~RegistrationService() { Stop(); }
    RegistrationService(const RegistrationService&) = delete;
    RegistrationService& operator=(const RegistrationService&) = delete;

    // Starts the service and waits until it listens; false with the reason when it
    // did not come up within the time allowed.
    bool Start(const ServiceOptions& options, std::string* error);
    // Stops it and waits for it; nothing when it is not running.
    void Stop();
    unsigned port() const { return port_; }

    std::vector<RecordedRequest> Requests() const;
    // Number of record lines whose "event" is `event` ("request", "tls_error", ...).
    size_t EventCount(const std::string& event) const;
    // Waits until the record holds an `event` line; false after `milliseconds`.
    bool WaitForEvent(const std::string& event, int milliseconds) const;

    // The directory of the shared test certificates (ca.pem is the CA to trust).
    static std::string CertificateDirectory();
    // A port on 127.0.0.1 that nothing listens on (bound, then released).
    static unsigned UnusedPort();

  private:
    std::vector<std::string> RecordLines() const;

    pid_t pid_ = -1;
    unsigned port_ = 0;
    std::string dir_;
};

#endif  // OSTREL_TESTS_UNIT_POSIX_REGISTRATION_SERVICE_H
