#include "frontend/session_hook.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

extern char** environ;

namespace corvantel {

namespace {

// The command runs in a shell of its own; the outer shell then reports its
// exit status, since the program itself does not wait for it.
constexpr const char* reporter =
    "/bin/sh -c \"$1\"; status=$?; "
    "echo \"corvantel: --on-session command after the $CORVANTEL_JOB run ended with status $status\" >&2";

bool replacedVariable(const char* entry) {
    static const char* const names[] = {"CORVANTEL_JOB",
                                        "CORVANTEL_RESULT",
                                        "CORVANTEL_PASSED",
                                        "CORVANTEL_FAILED",
                                        "CORVANTEL_BYTES",
                                        "CORVANTEL_DOWNLOAD_PASSWORD",
                                        "CORVANTEL_UPLOAD_PASSWORD"};
    for (const char* name : names) {
        const std::size_t n = std::strlen(name);
        if (std::strncmp(entry, name, n) == 0 && entry[n] == '=') return true;
    }
    return false;
}

// Everything from here to exec runs in forked children of a program that may
// have threads: only async-signal-safe calls.
[[noreturn]] void execCommand(char** argv, char** envp) {
    ::setsid();  // a Ctrl-C meant for the program does not reach it
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, nullptr);
    const int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull < 0 || ::dup2(devnull, 0) < 0 || ::dup2(2, 1) < 0) ::_exit(126);
    // Sockets, logs and the signal pipe stay with the program.
    if (::close_range(3, ~0U, 0) != 0)
        for (int fd = 3; fd < 65536; ++fd) ::close(fd);
    ::execve("/bin/sh", argv, envp);
    static const char message[] = "corvantel: cannot run /bin/sh for the --on-session command\n";
    [[maybe_unused]] auto r = ::write(2, message, sizeof message - 1);
    ::_exit(127);
}

}  // namespace

bool startSessionHook(const std::string& command, const RunSummary& run, std::string& error) {
    // Arguments and environment are made before fork.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (!replacedVariable(*e)) env.emplace_back(*e);
    env.push_back(std::string("CORVANTEL_JOB=") + jobName(run.job));
    env.push_back(std::string("CORVANTEL_RESULT=") + (run.ok() ? "ok" : "failed"));
    env.push_back("CORVANTEL_PASSED=" + std::to_string(run.passed));
    env.push_back("CORVANTEL_FAILED=" + std::to_string(run.failed));
    env.push_back("CORVANTEL_BYTES=" + std::to_string(run.bytes));
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string args[] = {"/bin/sh", "-c", reporter, "corvantel-on-session", command};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    // Forked twice: the command's parent ends at once and is reaped here, so
    // the command belongs to no one the program must wait for.
    const pid_t child = ::fork();
    if (child < 0) {
        error = std::string("cannot start the --on-session command: ") + std::strerror(errno);
        return false;
    }
    if (child == 0) {
        const pid_t grandchild = ::fork();
        if (grandchild == 0) execCommand(argv.data(), envp.data());
        ::_exit(grandchild < 0 ? 1 : 0);
    }
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(child, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "cannot start the --on-session command (fork failed)";
        return false;
    }
    return true;
}

}  // namespace corvantel
