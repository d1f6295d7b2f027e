// The headless program stopped by a signal: it closes as "eXit Now!" does,
// writing its files, and exits 0.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <thread>

#include "harness.h"

namespace corvantel::itest {
namespace {

// Starts the program in dir, lets it run for a while, sends SIGTERM and
// returns its exit status (-1 when it did not exit by itself in time).
int runAndTerminate(const fs::path& dir, std::chrono::milliseconds runFor) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        int devnull = ::open("/dev/null", O_RDWR);
        ::dup2(devnull, 0);
        ::dup2(devnull, 1);
        ::execl(CORVANTEL_BINARY, CORVANTEL_BINARY, "--headless", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(runFor);
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(50ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

class Shutdown : public IntegrationTest {};

TEST_F(Shutdown, TermInAnEmptyDirectoryWritesTheWorkPath) {
    EXPECT_EQ(runAndTerminate(run_, 1s), 0);
    EXPECT_EQ(readFile(run_ / "pather.log"), fs::canonical(run_).string() + "\r\n");
    EXPECT_TRUE(fileExists(run_ / "values.log"));
}

TEST_F(Shutdown, TermRewritesAHandWrittenSettingsFile) {
    writeFile(run_ / "values.log",
              "  \"  files.example  \" ,\"Bob\",\"bdf\",\"/pub\",\"*.jpg\",\"x21\"\r\n"
              "\"up.example\",\"anonymous\",\"whatever\",\"/in\",\"*.txt\",\"2121\"\r\n");
    EXPECT_EQ(runAndTerminate(run_, 1s), 0);
    auto lines = readLines(run_ / "values.log");
    ASSERT_EQ(lines.size(), 2u) << readFile(run_ / "values.log");
    EXPECT_EQ(lines[0], "\"files.example\",\"Bob\",,\"/pub\",\"*.jpg\",\"21\"");
    EXPECT_EQ(lines[1], "\"up.example\",\"anonymous\",\"corvantel@example.com\",\"/in\",\"*.txt\",\"2121\"");
}

}  // namespace
}  // namespace corvantel::itest
