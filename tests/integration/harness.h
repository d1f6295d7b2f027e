// Test harness for the end-to-end tests: runs the corvantel program as a
// child process against the test FTP server (ftp_server.py), both on
// 127.0.0.1, each test in a fresh temporary directory.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace corvantel::itest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What a finished (or killed) child process left behind.
struct ProcessResult {
    int exitCode = -1;      // exit status; -1 when it ended by a signal
    int signal = 0;         // the signal that ended it, if any
    bool timedOut = false;  // killed by the harness at its deadline
    std::string out;        // standard output
    std::string err;        // standard error
    double seconds = 0;     // wall-clock time it ran

    // A short account for failure messages: status and both outputs.
    std::string describe() const;
};

// Runs argv[0] (a path) with the arguments, in cwd, with the environment of
// this process plus the given variables, standard input from /dev/null.
// Collects both outputs; kills the child's process group at the deadline.
ProcessResult runProcess(const std::vector<std::string>& argv, const fs::path& cwd,
                         const std::vector<std::pair<std::string, std::string>>& env,
                         std::chrono::milliseconds timeout);

// Starts argv[0] (a path) with the arguments as the leader of a new session
// (so that whatever it forks can be found by its session id), in cwd,
// standard input from /dev/null, both outputs appended to logFile. The child
// is killed when this process dies. Returns its pid, or -1.
pid_t spawnSessionLeader(const std::vector<std::string>& argv, const fs::path& cwd, const fs::path& logFile);
// Waits up to timeout for the child pid to end; true when it was reaped.
bool waitForExit(pid_t pid, std::chrono::milliseconds timeout);

// The test FTP server as a child process. It ends with this object, and in
// any case when its standard input (a pipe held here) closes.
class FtpServer {
public:
    FtpServer() = default;
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;
    ~FtpServer() { stop(); }

    // Starts `python3 ftp_server.py args...` and waits (bounded) for its
    // "PORT n" line. stderrFile receives the server's diagnostics.
    ::testing::AssertionResult start(const std::vector<std::string>& args, const fs::path& stderrFile);
    // SIGTERM, then SIGKILL if it does not end within a few seconds.
    void stop();

    int port() const { return port_; }
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    int port_ = 0;
};

// File helpers.
bool fileExists(const fs::path& p);
std::string readFile(const fs::path& p);  // empty when missing
// Lines without their CR LF; no trailing empty line.
std::vector<std::string> readLines(const fs::path& p);
void writeFile(const fs::path& p, const std::string& content);
// Deterministic pseudo-random bytes (the seed picks the sequence).
std::string randomBytes(std::size_t n, unsigned seed);
// A CA and a certificate for 127.0.0.1 signed by it, in dir: ca.pem,
// server.pem, server.key. False when openssl failed.
bool makeCertificates(const fs::path& dir);
// Names of the regular files directly in dir, sorted.
std::vector<std::string> fileNames(const fs::path& dir);
// A TCP port on 127.0.0.1 that nothing listens on (bound, then released).
int unusedPort();
// A blocking TCP connection to 127.0.0.1:port (close-on-exec), or -1.
// On ::1 instead of 127.0.0.1 when ipv6.
int connectLoopback(int port, bool ipv6 = false);

// One line of dl_file_size.log (or the upload logs): fields in print zones
// of 14 columns: date, time, name, size, result.
struct ZoneLine {
    std::string date;    // YYYY/MM/DD
    std::string time;    // hh:mm:ss AM
    std::string name;
    std::string size;    // digits, or e.g. "Unknown File Size"
    std::string result;  // "pass" / "fail"
};
std::vector<ZoneLine> readZoneLog(const fs::path& p);
// The lines of a zone log for one name.
std::vector<ZoneLine> linesFor(const std::vector<ZoneLine>& log, const std::string& name);
// A zone log as text, for failure messages.
std::string show(const std::vector<ZoneLine>& log);

// "<what> YYYY/MM/DD at hh:mm:ss AM", the line of the error logs
// (err_dload.log, err_upload.log); group 1 is <what>.
const std::regex& errLinePattern();

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b);
bool contains(const std::vector<std::string>& v, const std::string& x);

// Fixture: a fresh temporary directory with
//   run/     the program's current directory (its own logs land here)
//   work/    a working directory for --work-path
//   remote/  the FTP server's home directory
// The server (if started) and any leftover child are stopped in TearDown,
// whatever the outcome; on failure the logs are printed first.
class IntegrationTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the server on remote/ with user "user", password "secret", a
    // command log, and the given extra options.
    ::testing::AssertionResult startServer(const std::vector<std::string>& flags = {});
    // The commands the server received so far, one per entry.
    std::vector<std::string> serverCommands() const;
    // How many received commands start with prefix (e.g. "RETR ", "DELE").
    int countCommands(const std::string& prefix) const;
    bool sawCommand(const std::string& exact) const;

    // The download job's options for the running server.
    std::vector<std::string> downloadOptions(const std::string& pattern, const std::string& dir = "/") const;
    std::vector<std::string> uploadOptions(const std::string& pattern, const std::string& dir = "/") const;

    // The job options for a server at 127.0.0.1:port ("download" or "upload").
    static std::vector<std::string> jobOptions(const std::string& job, int port, const std::string& user,
                                               const std::string& password, const std::string& pattern,
                                               const std::string& dir, const std::string& host = "127.0.0.1");

    // Runs `corvantel --headless args...` in run/ with CORVANTEL_TIME_SCALE=60
    // and the other environment variables given (e.g. CORVANTEL_TRACE=1).
    ProcessResult runCorvantel(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 120s,
                               const std::vector<std::pair<std::string, std::string>>& env = {});

    fs::path base_;
    fs::path run_;
    fs::path work_;
    fs::path remote_;
    FtpServer server_;
    const std::string user_ = "user";
    const std::string password_ = "secret";
};

}  // namespace corvantel::itest
