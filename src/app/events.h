#pragma once
// What the logic tells a front-end as it works: a job's run starting and
// ending, each file starting and getting its verdict, and each line written
// to an error log. Every member is optional; the window sets none of them.
//
// A run is one scheduled or run-now session of a job together with the
// sessions its retries start; it ends when the job is idle again.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace corvantel {

enum class JobKind { Download, Upload };

inline const char* jobName(JobKind job) { return job == JobKind::Download ? "download" : "upload"; }

struct FileVerdict {
    JobKind job = JobKind::Download;
    std::string name;
    bool passed = false;
    // The size in its log line: bytes received (download pass), announced
    // (download fail), or the local file's length (upload); -1: unknown.
    std::int64_t size = -1;
    // Why it failed, in a few words; empty when it passed.
    std::string reason;
};

struct AppEvents {
    std::function<void(JobKind)> sessionStarted;
    std::function<void(JobKind)> sessionEnded;
    // A file's transfer starts; from: the bytes a kept part already holds
    // (a resumed download), which do not move in this run.
    std::function<void(JobKind, const std::string& name, std::int64_t from)> fileStarted;
    std::function<void(const FileVerdict&)> fileJudged;
    // The message of an error-log line telling of a failure ("Timeout
    // Error", ...).
    std::function<void(JobKind, const std::string& message)> errorLogged;
    // The message of an error-log line that is a note: something the run
    // could not prove or had to work around, with no failure ("Not
    // Verified: ...", "Clocks Differ: ...").
    std::function<void(JobKind, const std::string& message)> noteLogged;
};

template <class F, class... Args>
void notify(const F& handler, Args&&... args) {
    if (handler) handler(std::forward<Args>(args)...);
}

// A server's reply as a failure reason: "server: " and its first line, with
// anything but printable ASCII dropped and the length bounded.
std::string serverReplyReason(const std::string& reply);

}  // namespace corvantel
