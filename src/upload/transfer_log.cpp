#include "upload/transfer_log.h"

#include "app/app_state.h"
#include "app/text.h"

namespace corvantel {

namespace files = platform::files;
namespace fmt = platform::fmt;

// Why the current file failed, in a few words, from what the session knows
// when the verdict is given.
static std::string failReason(App& app) {
    auto& s = app.s;
    if (s.uploadTakeover == Takeover::Watchdog) return "no activity: session taken over";
    if (s.uploadFailed || s.uploadSocketError != 0 || s.uploadControlLost ||
        s.uploadTakeover != Takeover::None)
        return "session failed";
    if (!s.uploadReply.empty() && (s.uploadReply[0] == '4' || s.uploadReply[0] == '5'))
        return serverReplyReason(s.uploadReply);
    if (!s.uploadFailCause.empty()) return s.uploadFailCause;
    if (files::length(app.workFile(s.uploadFileName)) < 0) return "local file missing or unreadable";
    return "not sent whole";
}

void logUploadResult(App& app, const std::string& result) {
    auto& s = app.s;
    auto t = app.now();
    // A name with a line break (a file that was never sent for it) still
    // makes one line: its control bytes are shown as "?".
    const std::string name = logSafeName(s.uploadFileName);
    files::append(app.ownFile("fileupl.log"),
                  printZoneLine({ZoneField::Text(fmt::slashDate(t)), ZoneField::Text(fmt::hhmmssAmPm(t)),
                                 ZoneField::Text(name), ZoneField::Number(s.uploadFileLength),
                                 ZoneField::Text(result)}));
    if (app.events.fileJudged)
        app.events.fileJudged({JobKind::Upload, s.uploadFileName, result == "pass", s.uploadFileLength,
                               result == "pass" ? "" : failReason(app)});
    s.uploadVerdictGiven = true;
    std::erase_if(s.uploadOwed, [&](const auto& o) { return o.first == s.uploadFileName; });
    // A verdict is activity: a session of many small files is busy, not silent.
    s.uploadIdleTicks = 0;
    if (result != "pass") ++s.failedFiles;
    // A failed delete leaves the file; the next run finds it recorded and
    // does not send it again.
    if (result == "pass" && s.deleteAfterUpload) files::remove(app.workFile(s.uploadFileName));
}

void recordUploadedName(App& app) {
    auto& s = app.s;
    files::append(app.ownFile("fileupl1.log"), s.uploadFileName + "\r\n");
    s.uploadedNames.add(s.uploadFileName);
}

void loadUploadedNames(App& app) {
    auto& s = app.s;
    s.uploadedNames.clear();
    auto text = files::readAll(app.ownFile("fileupl1.log"), 256 << 20);
    if (!text) return;
    for (auto& line : files::splitLines(*text)) s.uploadedNames.add(line);
}

}  // namespace corvantel
