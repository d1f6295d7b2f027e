#include "schedule/retry.h"

#include "app/app_state.h"
#include "app/text.h"
#include "download/records.h"
#include "download/session.h"
#include "upload/session.h"
#include "upload/transfer_log.h"

namespace corvantel {

namespace fmt = platform::fmt;


void takeDownloadOverForRetry(App& app) {
    auto& s = app.s;
    auto& d = downloadSession(app);
    if (!(numericValue(app.w.Text11.text()) > 0) || !s.downloadRunning) return;
    s.sessionAborting = true;
    d.downloadIdleTicks = 0;
    d.watchdog.setEnabled(false);
    d.downloadTarget = "done";
    d.downloadOver = true;
    // The decision waits until the driver below has wound down.
    d.takeover = Takeover::ErrorRetry;
}

void takeUploadOverForRetry(App& app, std::int64_t fileIndex) {
    auto& s = app.s;
    auto& u = uploadSession(app);
    if (!(numericValue(app.w.Text12.text()) > 0) || !s.uploadRunning) return;
    s.sessionAborting = true;
    u.uploadIdleTicks = 0;
    u.watchdog.setEnabled(false);
    uploadSessions(app).uploadFileIndex = uploadSessions(app).uploadFileCount() + 1;
    u.takeover = Takeover::ErrorRetry;
    s.uploadTakeoverIndex = fileIndex;
    s.uploadTakeoverHadFile = u.uploadFileStarted && !u.uploadVerdictGiven;
}

static std::string retryCaption(App& app, const char* what) {
    return std::string("Ftp Corvantel- Retry ") + what + " at " + fmt::hhmmssAmPm(app.now());
}

bool decideDownloadTakeover(App& app) {
    auto& s = app.s;
    auto& d = downloadSession(app);
    Takeover t = d.takeover;
    d.takeover = Takeover::None;
    if (s.shuttingDown) return false;
    const double allowed = numericValue(app.w.Text11.text());
    switch (t) {
        case Takeover::None:
            return false;
        case Takeover::Watchdog:
            if (allowed > static_cast<double>(s.downloadRetryCount)) {
                ++s.downloadRetryCount;
                return true;
            }
            // The file in flight, if any, will not be fetched again.
            if (d.downloadVerdictPending) {
                d.downloadFileGood = false;
                recordDownloadResult(d, "fail");
            }
            appendDownloadError(app, "Unknown Error");
            ++s.failedSessions;
            s.sessionAborting = false;
            return false;
        case Takeover::ErrorRetry:
            if (allowed > static_cast<double>(s.downloadRetryCount)) {
                ++s.downloadRetryCount;
                s.downloadStartCursor = downloadSessions(app).downloadNameScanStart;
                s.downloadStartName = d.downloadFileName;
                s.downloadStartAfter = false;
                app.w.setCaption(retryCaption(app, "Downloading"));
                return true;
            }
            s.downloadRetryCount = 0;
            if (!d.downloadVerdictPending) {
                // The failure came before any file was started (during the
                // listing, say): going on past a file is no remedy, and
                // starting again without end would starve the other job.
                appendDownloadError(app, "Timeout Error");
                s.sessionAborting = false;
                return false;
            }
            d.downloadFileGood = false;
            recordDownloadResult(d, "fail");
            if (app.w.ai_nlst.checked()) {
                if (downloadSessions(app).downloadNameCursor == -1) {
                    s.sessionAborting = false;
                    return false;
                }
                s.downloadStartCursor = downloadSessions(app).downloadNameCursor;
                s.downloadStartName = d.downloadFileName;
                s.downloadStartAfter = true;
            } else {
                s.downloadStartIndex = downloadSessions(app).listEntryIndex;
            }
            return true;
    }
    return false;
}

bool decideUploadTakeover(App& app) {
    auto& s = app.s;
    auto& u = uploadSession(app);
    Takeover t = u.takeover;
    u.takeover = Takeover::None;
    if (s.shuttingDown) return false;
    const double allowed = numericValue(app.w.Text12.text());
    switch (t) {
        case Takeover::None:
            return false;
        case Takeover::Watchdog:
            if (allowed > static_cast<double>(s.uploadRetryCount)) {
                ++s.uploadRetryCount;
                return true;
            }
            appendUploadError(app, "Unknown Error");
            ++s.failedSessions;
            s.sessionAborting = false;
            return false;
        case Takeover::ErrorRetry: {
            const std::int64_t i = s.uploadTakeoverIndex;
            if (allowed > static_cast<double>(s.uploadRetryCount)) {
                ++s.uploadRetryCount;
                app.w.setCaption(retryCaption(app, "Uploading"));
                s.uploadStartIndex = i > 0 ? i - 1 : 0;
                return true;
            }
            s.uploadRetryCount = 0;
            if (!s.uploadTakeoverHadFile) {
                // No file was being sent: the failure came before the files
                // (or after the last), so there is nothing to go on past.
                appendUploadError(app, "Timeout Error");
                s.sessionAborting = false;
                return false;
            }
            logUploadResult(u, "fail");
            s.uploadStartIndex = i;
            return true;
        }
    }
    return false;
}

}  // namespace corvantel
