#include "download/records.h"

#include "app/app_state.h"
#include "app/text.h"
#include "download/retrieval.h"
#include "download/selection.h"

namespace corvantel {

namespace files = platform::files;
namespace fmt = platform::fmt;

// Why the current file failed, in a few words, from what the session knows
// when the verdict is given.
static std::string failReason(App& app) {
    auto& s = app.s;
    const std::string& name = s.downloadFileName;
    if (!safeLocalName(name) || isOwnFile(app, downloadLocalName(app, name))) return "unsafe local name";
    if (s.downloadTakeover == Takeover::Watchdog) return "no activity: session taken over";
    if (s.downloadFailed || s.downloadSocketError != 0 || s.downloadControlLost ||
        s.downloadTakeover != Takeover::None)
        return "session failed";
    if (s.downloadAnswered.rfind("RETR ", 0) == 0 && !s.downloadReply.empty() &&
        (s.downloadReply[0] == '4' || s.downloadReply[0] == '5'))
        return serverReplyReason(s.downloadReply);
    if (!s.downloadDataAccepted) return "no data connection";
    if (s.downloadExpectedSize >= 0 && s.downloadBytes != s.downloadExpectedSize)
        return "size mismatch: " + std::to_string(s.downloadBytes) + " of " + std::to_string(s.downloadExpectedSize) +
               " bytes";
    if (!s.downloadFailCause.empty()) return s.downloadFailCause;
    if (s.downloadFileSpoiled) return "data connection broken or local file not written";
    return "local file not written";
}

void recordDownloadResult(App& app, const std::string& result, bool logLine) {
    auto& s = app.s;
    std::string sizeText;
    s.downloadVerdictPending = false;
    std::erase_if(s.downloadOwed, [&](const auto& o) { return o.first == s.downloadFileName; });
    // A verdict is activity for the watchdog.
    s.downloadIdleTicks = 0;
    if (result == "pass") {
        if (s.downloadDupeCheck) {
            files::append(app.ownFile("filename2.log"), s.downloadFileName + "\r\n");
            s.downloadedNames.add(s.downloadFileName);
        }
        sizeText = app.w.fText6.text();
        s.downloadLastPassed = true;
    } else {
        sizeText = s.downloadExpectedSize < 0 ? "Unknown File Size" : std::to_string(s.downloadExpectedSize);
        s.downloadLastPassed = false;
        ++s.failedFiles;
    }
    auto t = app.now();
    // A listed name may hold any byte: its control bytes are shown as "?",
    // so that it can never end its line or forge another.
    if (logLine)
        files::append(app.ownFile("dl_file_size.log"),
                      printZoneLine({ZoneField::Text(fmt::slashDate(t)), ZoneField::Text(fmt::hhmmssAmPm(t)),
                                     ZoneField::Text(logSafeName(s.downloadFileName)), ZoneField::Text(sizeText),
                                     ZoneField::Text(result)}));
    if (app.events.fileJudged) {
        const bool passed = result == "pass";
        app.events.fileJudged({JobKind::Download, s.downloadFileName, passed,
                               passed ? s.downloadBytes : s.downloadExpectedSize, passed ? "" : failReason(app)});
    }
}

void recordUnsafeName(App& app) {
    auto& s = app.s;
    // A listing can hold millions of such names, listed again on every
    // run: past the limit they are only counted.
    const bool logLine = s.downloadUnsafeLogged < maxUnsafeLines;
    if (logLine)
        ++s.downloadUnsafeLogged;
    else
        ++s.downloadUnsafeUnlogged;
    recordDownloadResult(app, "fail", logLine);
}

void logUnsafeSummary(App& app) {
    auto& s = app.s;
    const std::int64_t more = s.downloadUnsafeUnlogged;
    s.downloadUnsafeLogged = s.downloadUnsafeUnlogged = 0;
    if (more == 0) return;
    // The name field holds a "/", which no fetched file's name can.
    auto t = app.now();
    files::append(app.ownFile("dl_file_size.log"),
                  printZoneLine({ZoneField::Text(fmt::slashDate(t)), ZoneField::Text(fmt::hhmmssAmPm(t)),
                                 ZoneField::Text("more unsafe names/not logged"), ZoneField::Number(more),
                                 ZoneField::Text("fail")}));
}

void loadDownloadedNames(App& app) {
    auto& s = app.s;
    s.downloadedNames.clear();
    auto text = files::readAll(app.ownFile("filename2.log"), 256 << 20);
    if (!text) return;
    for (auto& line : files::splitLines(*text)) s.downloadedNames.add(line);
}

}  // namespace corvantel
