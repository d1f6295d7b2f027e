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

void recordDownloadResult(App& app, const std::string& result) {
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
    files::append(app.ownFile("dl_file_size.log"),
                  printZoneLine({ZoneField::Text(fmt::slashDate(t)), ZoneField::Text(fmt::hhmmssAmPm(t)),
                                 ZoneField::Text(s.downloadFileName), ZoneField::Text(sizeText),
                                 ZoneField::Text(result)}));
    if (app.events.fileJudged) {
        const bool passed = result == "pass";
        app.events.fileJudged({JobKind::Download, s.downloadFileName, passed,
                               passed ? s.downloadBytes : s.downloadExpectedSize, passed ? "" : failReason(app)});
    }
}

void loadDownloadedNames(App& app) {
    auto& s = app.s;
    s.downloadedNames.clear();
    auto text = files::readAll(app.ownFile("filename2.log"), 256 << 20);
    if (!text) return;
    for (auto& line : files::splitLines(*text)) s.downloadedNames.add(line);
}

}  // namespace corvantel
