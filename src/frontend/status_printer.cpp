#include "frontend/status_printer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "app/app_state.h"
#include "download/session.h"
#include "upload/session.h"
#include "platform/timer.h"

namespace corvantel {

namespace fmt = platform::fmt;

namespace {

// Progress is drawn at most this often (seconds).
constexpr double progressPeriod = 0.25;

std::string fixed1(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

// Seconds to the millisecond, as the nearest double to the decimal (a
// multiple of 0.001 computed by multiplication prints as 0.10200000000000001).
double milliseconds(double v) { return std::round(v * 1000) / 1000; }

// "2026-12-07T16:04:05": the program's local time.
std::string isoTime(const platform::LocalTime& t) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
    return buf;
}

// A name from a server as it may be shown on a terminal: no control
// characters (no escape sequences), and not longer than a line can hold.
std::string terminalSafe(const std::string& name) {
    std::string out;
    for (unsigned char c : name) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    if (out.size() > 40) out = out.substr(0, 37) + "...";
    return out;
}

// from: the bytes already there when the transfer started (a resumed
// file); the rate counts only what moved since.
std::string progressText(const std::string& head, const std::string& name, std::int64_t bytes, std::int64_t from,
                         std::int64_t size, double seconds) {
    std::string text = head + " " + terminalSafe(name) + ": " + byteText(bytes);
    if (size > 0) {
        const auto percent = std::clamp<std::int64_t>(bytes * 100 / size, 0, 100);
        text += " of " + byteText(size) + " (" + std::to_string(percent) + "%)";
    }
    if (seconds > 0 && bytes > from) {
        const double rate = static_cast<double>(bytes - from) / seconds;
        text += ", " + byteText(static_cast<std::int64_t>(rate)) + "/s";
        if (size > bytes) {
            const auto left = static_cast<std::int64_t>(std::ceil(static_cast<double>(size - bytes) / rate));
            text += left < 120 ? ", " + std::to_string(left) + " s left"
                               : ", " + std::to_string((left + 59) / 60) + " min left";
        }
    }
    return text;
}

}  // namespace

std::string byteText(std::int64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " B";
    const char* units[] = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double v = static_cast<double>(bytes) / 1000;
    std::size_t u = 0;
    // 999.95 would print as "1000.0": the next unit says it better.
    while (v >= 999.95 && u + 1 < std::size(units)) {
        v /= 1000;
        ++u;
    }
    return fixed1(v) + " " + units[u];
}

std::string summaryText(const RunSummary& run) {
    const double rate = run.seconds > 0 ? static_cast<double>(run.bytes) / run.seconds : 0;
    std::string text = std::string(jobName(run.job)) + ": " + std::to_string(run.passed) + " passed, " +
                       std::to_string(run.failed) + " failed, " + byteText(run.bytes) + " in " + fixed1(run.seconds) +
                       " s (" + byteText(static_cast<std::int64_t>(rate)) + "/s)";
    if (run.sessionFailed) text += ", session failed";
    return text;
}

StatusPrinter::StatusPrinter(App& app, std::FILE* out, PrinterOptions options)
    : app_(app), out_(out), options_(std::move(options)) {
    if (!options_.seconds)
        options_.seconds = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    if (options_.json) options_.progress = false;
    app.w.addObserver([this](const platform::Control*) { check(); });
    auto previous = app.w.onMessageBox;
    app.w.onMessageBox = [this, previous](const std::string& text) {
        if (options_.json) {
            auto e = event("message");
            e["text"] = text;
            writeEvent(e);
        } else {
            print("message", text);
        }
        if (previous) previous(text);
    };
    auto& e = app.events;
    e.sessionStarted = [this](JobKind job) { sessionStarted(job); };
    e.sessionEnded = [this](JobKind job) { sessionEnded(job); };
    e.fileStarted = [this](JobKind job, const std::string& name, std::int64_t from) { fileStarted(job, name, from); };
    e.fileJudged = [this](const FileVerdict& v) { fileJudged(v); };
    e.errorLogged = [this](JobKind job, const std::string& message) { errorLogged(job, message); };
    e.noteLogged = [this](JobKind job, const std::string& message) { noteLogged(job, message); };
    if (options_.progress) {
        progressTimer_ = app.plat.makeTimer();
        progressTimer_->setInterval(static_cast<int>(progressPeriod * 1000));
        progressTimer_->onTick = [this] { showProgress(); };
    }
}

StatusPrinter::~StatusPrinter() {
    app_.events = {};
    clearProgress();
}

double StatusPrinter::seconds() const { return options_.seconds(); }

void StatusPrinter::print(const std::string& what, const std::string& text) { printLine(what + ": " + text); }

void StatusPrinter::printLine(const std::string& text) {
    clearProgress();
    auto t = app_.now();
    std::fprintf(out_, "%s %s %s\n", fmt::slashDate(t).c_str(), fmt::hhmmssAmPm(t).c_str(), text.c_str());
    std::fflush(out_);
}

StatusPrinter::Json StatusPrinter::event(const char* name) const {
    return Json{{"time", isoTime(app_.now())}, {"event", name}};
}

// One line per event. Names and replies come from servers: bytes that are
// not UTF-8 are replaced, never passed on.
void StatusPrinter::writeEvent(const Json& event) {
    std::fprintf(out_, "%s\n", event.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
    std::fflush(out_);
}

void StatusPrinter::check() {
    auto& w = app_.w;
    const std::pair<const char*, const std::string*> watched[] = {
        {"caption", &w.caption()},         {"Label11", &w.Label11.caption()}, {"Label12", &w.Label12.caption()},
        {"Label18", &w.Label18.caption()}, {"Label19", &w.Label19.caption()},
    };
    for (auto& [name, value] : watched) {
        auto& seen = last_[name];
        if (seen != *value) {
            seen = *value;
            if (!options_.json)
                print(name, *value);
            else {
                const bool caption = std::string(name) == "caption";
                auto e = event(caption ? "caption" : "label");
                if (!caption) e["name"] = name;
                e["text"] = *value;
                writeEvent(e);
            }
        }
    }
}

void StatusPrinter::sessionStarted(JobKind job) {
    auto& r = run(job);
    r = JobRun{};
    r.summary.job = job;
    r.start = seconds();
    r.failedSessionsAtStart = app_.s.failedSessions;
    if (options_.json) {
        auto e = event("session-start");
        e["job"] = jobName(job);
        writeEvent(e);
    }
}

void StatusPrinter::sessionEnded(JobKind job) {
    auto& r = run(job);
    auto& sum = r.summary;
    sum.seconds = std::max(0.0, seconds() - r.start);
    if (app_.s.failedSessions != r.failedSessionsAtStart) sum.sessionFailed = true;
    r.fileStarts.clear();
    r.current.clear();
    if (options_.json) {
        auto e = event("session-end");
        e["job"] = jobName(job);
        e["result"] = sum.ok() ? "ok" : "failed";
        e["passed"] = sum.passed;
        e["failed"] = sum.failed;
        e["bytes"] = sum.bytes;
        e["seconds"] = milliseconds(sum.seconds);
        e["rate"] = sum.seconds > 0 ? std::llround(static_cast<double>(sum.bytes) / sum.seconds) : 0LL;
        e["notes"] = sum.notes;
        writeEvent(e);
    } else {
        printLine(summaryText(sum));
    }
    if (options_.runEnded) options_.runEnded(sum);
}

void StatusPrinter::fileStarted(JobKind job, const std::string& name, std::int64_t from) {
    auto& r = run(job);
    r.fileStarts[name] = {seconds(), std::max<std::int64_t>(from, 0)};
    r.current = name;
    r.seenBytes = -1;
    if (progressTimer_) progressTimer_->setEnabled(true);
}

void StatusPrinter::fileJudged(const FileVerdict& v) {
    auto& r = run(v.job);
    std::optional<double> took;
    std::int64_t from = 0;
    if (auto it = r.fileStarts.find(v.name); it != r.fileStarts.end()) {
        took = std::max(0.0, seconds() - it->second.start);
        from = it->second.from;
        r.fileStarts.erase(it);
    }
    if (r.current == v.name) r.current.clear();
    if (v.passed) {
        ++r.summary.passed;
        // What moved in this run: a resumed file's kept part came before.
        r.summary.bytes += std::max<std::int64_t>(v.size - from, 0);
    } else {
        ++r.summary.failed;
    }
    if (progressShown_ && r.current.empty()) clearProgress();
    if (!options_.json) return;
    auto j = event("file");
    j["job"] = jobName(v.job);
    j["name"] = v.name;
    j["result"] = v.passed ? "pass" : "fail";
    j["size"] = v.size >= 0 ? Json(v.size) : Json(nullptr);
    j["seconds"] = took ? Json(milliseconds(*took)) : Json(nullptr);
    if (!v.passed) j["reason"] = v.reason;
    writeEvent(j);
}

// Whether a run failed is the exit status's view (a session failed, a file
// failed); an error line comes with such a failure, and a note with none.
void StatusPrinter::errorLogged(JobKind job, const std::string& message) {
    if (options_.json) {
        auto e = event("error");
        e["job"] = jobName(job);
        e["message"] = message;
        writeEvent(e);
    }
}

void StatusPrinter::noteLogged(JobKind job, const std::string& message) {
    auto& notes = run(job).summary.notes;
    // Each at most once a run (a retry session may note it again).
    if (std::find(notes.begin(), notes.end(), message) == notes.end()) notes.push_back(message);
    if (options_.json) {
        auto e = event("note");
        e["job"] = jobName(job);
        e["message"] = message;
        writeEvent(e);
    }
}

void StatusPrinter::showProgress() {
    // The file in flight: the upload's when both run.
    const bool up = !upload_.current.empty();
    JobRun& r = up ? upload_ : download_;
    if (r.current.empty()) {
        if (progressTimer_) progressTimer_->setEnabled(false);
        clearProgress();
        return;
    }
    const double now = seconds();
    if (progressShownAt_ >= 0 && now - progressShownAt_ < progressPeriod * 0.9) return;
    // With more connections, the one moving that file (none found: nothing
    // is drawn rather than another file's bytes).
    const DownloadSession* d = up ? &downloadSession(app_) : nullptr;
    for (auto& each : static_cast<const DownloadSessions&>(*app_.downloadSessions).all) {
        const auto& e = static_cast<const DownloadSession&>(*each);
        if (e.downloadVerdictPending && (e.downloadTarget == r.current || e.downloadFileName == r.current)) d = &e;
    }
    const UploadSession* u = up ? nullptr : &uploadSession(app_);
    for (auto& each : static_cast<const UploadSessions&>(*app_.uploadSessions).all) {
        const auto& e = static_cast<const UploadSession&>(*each);
        if (e.uploadFileStarted && e.uploadFileName == r.current) u = &e;
    }
    if (!d || !u) return;
    const std::int64_t bytes = up ? u->uploadBytesSent : d->downloadBytes;
    const std::int64_t size = up ? u->uploadFileLength : d->downloadStatedSize;
    // The rate is over the time the bytes took: a file whose bytes are all
    // in keeps its rate while it waits for its verdict.
    if (bytes != r.seenBytes) {
        r.seenBytes = bytes;
        r.seenAt = now;
    }
    const auto& flight = r.fileStarts[r.current];
    // With more connections the job's totals come first: the files judged
    // and the bytes of those that passed, and the files in flight.
    std::string head = jobName(up ? JobKind::Upload : JobKind::Download);
    if (app_.s.parallelConnections > 1)
        head += " (" + std::to_string(r.summary.passed + r.summary.failed) + " done, " + byteText(r.summary.bytes) +
                "; " + std::to_string(r.fileStarts.size()) + " in flight)";
    const std::string text = progressText(head, r.current, bytes, flight.from, size, r.seenAt - flight.start);
    if (progressShown_ && text == progressText_) return;
    std::fprintf(out_, "\r%s\x1b[K", text.c_str());
    std::fflush(out_);
    progressText_ = text;
    progressShown_ = true;
    progressShownAt_ = now;
}

void StatusPrinter::clearProgress() {
    if (!progressShown_) return;
    std::fputs("\r\x1b[K", out_);
    std::fflush(out_);
    progressShown_ = false;
}

}  // namespace corvantel
