#pragma once
// The headless front-end's report on standard output: each change of the
// caption, the schedule labels and the last-run labels, and each message
// box, as one line with the local time; a summary line when a job's run
// ends; on a terminal, one updating line for the file in flight. With JSON
// output, one object per line for each of these events instead, and for
// each file's verdict and each error-log line.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "app/events.h"

namespace corvantel {
class App;
namespace platform {
class Timer;
}

// One run of a job, as its summary tells it.
struct RunSummary {
    JobKind job = JobKind::Download;
    std::int64_t passed = 0, failed = 0;
    // Bytes of the files that passed, as far as they moved in this run (a
    // resumed file counts only the rest it fetched).
    std::int64_t bytes = 0;
    double seconds = 0;
    // A session of the run failed, as the exit status counts it.
    bool sessionFailed = false;
    // Error-log lines of the run that tell of no failure ("Not Verified:
    // ..."): they leave the run ok.
    std::vector<std::string> notes;
    // Every session completed and no file failed: the exit status's view.
    bool ok() const { return !sessionFailed && failed == 0; }
};

// "48.2 MB": decimal units, one decimal from kB up.
std::string byteText(std::int64_t bytes);
// "download: 12 passed, 1 failed, 48.2 MB in 3.1 s (15.5 MB/s)", and
// ", session failed" when a session of the run failed.
std::string summaryText(const RunSummary& run);

struct PrinterOptions {
    // One JSON object per line for every event instead of the text lines.
    bool json = false;
    // The updating line for the file in flight (only for a terminal).
    bool progress = false;
    // Seconds on a steady clock (real time; a virtual clock in tests).
    std::function<double()> seconds;
    // Called after each run's summary has been printed.
    std::function<void(const RunSummary&)> runEnded;
};

class StatusPrinter {
public:
    StatusPrinter(App& app, std::FILE* out, PrinterOptions options = {});
    ~StatusPrinter();

private:
    struct JobRun {
        RunSummary summary;
        double start = 0;
        std::int64_t failedSessionsAtStart = 0;
        struct InFlight {
            double start = 0;
            std::int64_t from = 0;  // bytes already there (a resumed file)
        };
        std::map<std::string, InFlight> fileStarts;  // files in flight, by name
        std::string current;                       // the file started last, until its verdict
        std::int64_t seenBytes = -1;               // its bytes when last drawn, and since when
        double seenAt = 0;
    };

    void print(const std::string& what, const std::string& text);
    // One line with the local time in front.
    void printLine(const std::string& text);
    using Json = nlohmann::ordered_json;
    Json event(const char* name) const;
    void writeEvent(const Json& event);
    void check();
    void sessionStarted(JobKind job);
    void sessionEnded(JobKind job);
    void fileStarted(JobKind job, const std::string& name, std::int64_t from);
    void fileJudged(const FileVerdict& verdict);
    void errorLogged(JobKind job, const std::string& message);
    void noteLogged(JobKind job, const std::string& message);
    void showProgress();
    void clearProgress();
    double seconds() const;
    JobRun& run(JobKind job) { return job == JobKind::Download ? download_ : upload_; }

    App& app_;
    std::FILE* out_;
    PrinterOptions options_;
    std::map<std::string, std::string> last_;
    JobRun download_, upload_;
    std::unique_ptr<platform::Timer> progressTimer_;
    bool progressShown_ = false;
    std::string progressText_;
    double progressShownAt_ = -1;
};

}  // namespace corvantel
