#include "schedule/schedule.h"

#include "app/app_state.h"
#include "app/text.h"

#include <memory>
#include "download/records.h"
#include "download/session.h"
#include "upload/session.h"
#include "upload/transfer_log.h"
#include "schedule/drivers.h"
#include "schedule/retry.h"

namespace corvantel {

namespace fmt = platform::fmt;

namespace {

// The one-second counters stop adding at 10.
void countSecond(std::int64_t& counter) {
    if (counter < 10) ++counter;
}

struct TickTime {
    std::string today;  // yyyymmdd
    std::string text;   // hhmmss AMPM
    double hour = 0;
    double minute = 0;
    std::string half;
};

TickTime tickTime(const App& app) {
    auto now = app.now();
    TickTime t;
    t.today = fmt::yyyymmdd(now);
    t.text = fmt::hhmmssCompact(now);
    t.hour = numericValue(t.text.substr(0, 2));
    t.minute = numericValue(t.text.substr(2, 2));
    t.half = t.text.substr(t.text.size() - 2);
    return t;
}

// One job's view of the shared schedule state and window fields, so the
// arming and tick rules are written once for both jobs.
struct Job {
    bool download;
    platform::CheckBox& box;
    platform::Label& label;
    platform::Timer& clock;
    platform::Endpoint& control;
    platform::Endpoint& data;
    std::vector<platform::TextBox*> fields;  // host, user, password, path, pattern, port
    std::string& hour;
    std::string& half;
    std::string& lastRun;
    std::string& activeText;
    bool& running;
    // A job started by this clock's tick is running: the clock's ticks wait.
    bool& clockBusy;
    Strand& strand;
};

Job downloadSchedule(App& app) {
    auto& w = app.w;
    auto& s = app.s;
    return {true,          w.Check1,         w.Label11,
            *w.Timer1,     *w.ftpclient1,    *w.ftpclient2,
            {&w.Text1, &w.fText3, &w.fText4, &w.Text2, &w.Text7, &w.Text9},
            s.downloadHour, s.downloadAmPm,  s.downloadLastRunDate,
            s.downloadActiveText, s.downloadRunning, s.downloadClockBusy, downloadSession(app).strand};
}

Job uploadSchedule(App& app) {
    auto& w = app.w;
    auto& s = app.s;
    return {false,        w.Check2,        w.Label12,
            *w.Timer2,    *w.ftpclient1a,  *w.ftpclient3,
            {&w.Text3, &w.Text4, &w.Text5, &w.Text6, &w.Text8, &w.Text10},
            s.uploadHour, s.uploadAmPm,    s.uploadLastRunDate,
            s.uploadActiveText, s.uploadRunning, s.uploadClockBusy, uploadSession(app).strand};
}

void armChanged(App& app, Job job) {
    job.control.close();
    job.data.close();
    if (job.box.checked()) {
        for (auto* f : job.fields) {
            if (f->text().empty()) {
                job.box.setChecked(false);
                app.w.messageBox("One or more fields are empty or incorrect");
                return;
            }
        }
        if (!isNumeric(job.fields[5]->text())) {
            job.box.setChecked(false);
            app.w.messageBox("Port must be Numeric");
            return;
        }
        if (!job.download) app.w.File2.setPattern(app.w.Text8.text());
        job.clock.setInterval(60000);
        job.clock.setEnabled(true);
        job.activeText = "Active";
        job.label.setCaption(job.hour + job.half + " Active");
    } else {
        job.clock.setEnabled(false);
        job.label.setCaption(job.hour + job.half + " InActive");
        job.activeText = "InActive";
        job.lastRun = "20000101";
    }
}

// The steps the minute clock takes when a job's hour has come.
Task<> startJob(App& app, Job job, TickTime t) {
    auto& s = app.s;
    job.lastRun = t.today;
    if (job.download) {
        s.downloadRetryCount = 0;
        s.downloadStartCursor = 1;
        s.downloadStartName.clear();
        s.downloadStartIndex = 0;
    } else {
        s.uploadStartIndex = 0;
        s.uploadRetryCount = 0;
    }
    if (app.w.ai_hr.checked()) {
        advanceHour(job.hour, job.half, job.hour, job.half);
        job.label.setCaption(job.hour + job.half + " Active");
    }
    s.transferCaptionPrefix = job.download ? "Ftp Corvantel- Downloading at " : "Ftp Corvantel- Uploading at ";
    app.w.setCaption("Ftp Corvantel- Connecting at " + fmt::hhmmssAmPm(app.now()));
    const JobKind kind = job.download ? JobKind::Download : JobKind::Upload;
    notify(app.events.sessionStarted, kind);
    if (job.download)
        co_await runDownloadJob(app);
    else
        co_await runUploadJob(app);
    notify(app.events.sessionEnded, kind);
    // A long session may have outlasted the hour the schedule now names
    // (ticks of this clock are not handled while it runs it): catch up with
    // the time it is, so that every-hour mode goes on in the next hour
    // instead of waiting for that hour to come round again.
    if (app.w.ai_hr.checked()) {
        const TickTime after = tickTime(app);
        const auto index = [](double hour12, const std::string& half) {
            return (static_cast<int>(hour12) % 12) + (half == "PM" ? 12 : 0);
        };
        const int behind = (index(after.hour, after.half) - index(numericValue(job.hour), job.half) + 24) % 24;
        if (behind >= 1 && behind <= 12) {
            advanceHour(job.hour, job.half, after.text.substr(0, 2), after.half);
            job.label.setCaption(job.hour + job.half + " Active");
        }
    }
}

// A job started by its clock runs on the job's strand; the clock's ticks are
// not handled until it has ended (they would move its hour on meanwhile).
Task<> clockJob(App& app, Job job, TickTime t) {
    job.clockBusy = true;
    struct Free {
        bool& busy;
        ~Free() { busy = false; }
    } free{job.clockBusy};
    co_await startJob(app, job, t);
}

void minuteTick(App& app, Job job) {
    auto& s = app.s;
    if (job.clockBusy) return;
    TickTime t = tickTime(app);
    bool everyHour = app.w.ai_hr.checked();
    bool hourMatches = numericValue(job.hour) == t.hour && job.half == t.half;
    if (hourMatches && (job.lastRun != t.today || everyHour) && !s.sessionAborting && !s.downloadRunning &&
        !s.uploadRunning) {
        job.strand.spawn(clockJob(app, job, t));
        return;
    }
    // A job kept from starting for its whole hour moves on to the next hour
    // in the hour's last minute.
    if (hourMatches && t.minute > 58 && ((job.lastRun != t.today && !job.running) || everyHour)) {
        advanceHour(job.hour, job.half, job.hour, job.half);
        job.label.setCaption(job.hour + job.half + " Active");
    }
}

void startNow(App& app, Job job) {
    auto& s = app.s;
    app.loop.waitUntil([&] { return !s.sessionAborting && !s.downloadRunning && !s.uploadRunning; });
    auto ended = std::make_shared<bool>(false);
    job.strand.spawn([](App& app, Job job, TickTime t, std::shared_ptr<bool> ended) -> Task<> {
        co_await startJob(app, job, t);
        *ended = true;
    }(app, job, tickTime(app), ended));
    app.loop.waitUntil([&] { return *ended; });
}

}  // namespace

void installScheduleHandlers(App& app) {
    auto& w = app.w;
    w.Check1.onChange = [&app] { downloadArmChanged(app); };
    w.Check2.onChange = [&app] { uploadArmChanged(app); };
    w.Timer1->setInterval(60000);
    w.Timer2->setInterval(60000);
    w.Timer3->setInterval(20000);
    w.Timer4->setInterval(20000);
    w.Timerf->setInterval(1000);
    w.Timerg->setInterval(1000);
    w.Timer1->onTick = [&app] { downloadMinuteTick(app); };
    w.Timer2->onTick = [&app] { uploadMinuteTick(app); };
    w.Timer3->onTick = [&app] { downloadWatchdogTick(downloadSession(app)); };
    w.Timer4->onTick = [&app] { uploadWatchdogTick(uploadSession(app)); };
    w.Timerf->onTick = [&app] {
        auto& d = downloadSession(app);
        countSecond(d.downloadWaitSeconds);
        ++d.secondsTicked;
    };
    w.Timerg->onTick = [&app] {
        auto& u = uploadSession(app);
        countSecond(u.uploadWaitSeconds);
        ++u.secondsTicked;
    };
    app.downloadErrorRetryHook = [&app] { takeDownloadOverForRetry(app); };
    app.uploadErrorRetryHook = [&app](std::int64_t i) { takeUploadOverForRetry(app, i); };
}

void downloadArmChanged(App& app) { armChanged(app, downloadSchedule(app)); }
void uploadArmChanged(App& app) { armChanged(app, uploadSchedule(app)); }
void downloadMinuteTick(App& app) { minuteTick(app, downloadSchedule(app)); }
void uploadMinuteTick(App& app) { minuteTick(app, uploadSchedule(app)); }
void startDownloadNow(App& app) { startNow(app, downloadSchedule(app)); }
void startUploadNow(App& app) { startNow(app, uploadSchedule(app)); }

void advanceHour(std::string& hour, std::string& half, const std::string& h, const std::string& a) {
    std::int64_t n = wholeValue(h) + 1;
    half = a;
    if (n > 12) {
        hour = "1";
        return;
    }
    hour = std::to_string(n);
    if (n == 12) half = (a == "PM") ? "AM" : "PM";
}

Task<> runDownloadJob(App& app) {
    auto& s = app.s;
    auto& d = downloadSession(app);
    downloadSessions(app).downloadOwed.clear();
    downloadSessions(app).requeue.once.clear();
    co_await runDownloadSession(d);
    while (decideDownloadTakeover(app)) co_await runDownloadSession(d);
    // A file that a taken-over session left to the next, which never came
    // to it, fails now: every file started gets its line.
    const auto owed = std::move(downloadSessions(app).downloadOwed);
    downloadSessions(app).downloadOwed.clear();
    for (const auto& [name, size] : owed) {
        if (s.shuttingDown) break;
        d.downloadFileName = name;
        d.downloadExpectedSize = size;
        d.downloadFileGood = false;
        recordDownloadResult(d, "fail");
    }
    ++app.s.downloadJobRuns;
    if (app.onJobFinished) app.onJobFinished();
}

Task<> runUploadJob(App& app) {
    auto& s = app.s;
    auto& u = uploadSession(app);
    uploadSessions(app).uploadOwed.clear();
    uploadSessions(app).requeue.once.clear();
    co_await runUploadSession(u);
    while (decideUploadTakeover(app)) co_await runUploadSession(u);
    const auto owed = std::move(uploadSessions(app).uploadOwed);
    uploadSessions(app).uploadOwed.clear();
    for (const auto& [name, length] : owed) {
        if (s.shuttingDown) break;
        u.uploadFileName = name;
        u.uploadFileLength = length;
        logUploadResult(u, "fail");
    }
    ++app.s.uploadJobRuns;
    if (app.onJobFinished) app.onJobFinished();
}

}  // namespace corvantel
