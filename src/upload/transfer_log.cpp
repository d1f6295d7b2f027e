#include "upload/transfer_log.h"

#include "app/app_state.h"
#include "upload/session.h"
#include "app/text.h"

namespace corvantel {

namespace files = platform::files;
namespace fmt = platform::fmt;

// Why the current file failed, in a few words, from what the session knows
// when the verdict is given.
static std::string failReason(UploadSession& u) {
    App& app = u.app;
    if (u.takeover == Takeover::Watchdog) return "no activity: session taken over";
    if (u.uploadFailed || u.uploadSocketError != 0 || u.controlLost ||
        u.takeover != Takeover::None)
        return "session failed";
    if (!u.uploadReply.empty() && (u.uploadReply[0] == '4' || u.uploadReply[0] == '5'))
        return serverReplyReason(u.uploadReply);
    if (!u.failCause.empty()) return u.failCause;
    if (files::length(app.workFile(u.uploadFileName)) < 0) return "local file missing or unreadable";
    return "not sent whole";
}

void logUploadResult(UploadSession& u, const std::string& result) {
    App& app = u.app;
    auto& s = app.s;
    auto t = app.now();
    // A name with a line break (a file that was never sent for it) still
    // makes one line: its control bytes are shown as "?".
    const std::string name = logSafeName(u.uploadFileName);
    files::append(app.ownFile("fileupl.log"),
                  printZoneLine({ZoneField::Text(fmt::slashDate(t)), ZoneField::Text(fmt::hhmmssAmPm(t)),
                                 ZoneField::Text(name), ZoneField::Number(u.uploadFileLength),
                                 ZoneField::Text(result)}));
    if (app.events.fileJudged)
        app.events.fileJudged({JobKind::Upload, u.uploadFileName, result == "pass", u.uploadFileLength,
                               result == "pass" ? "" : failReason(u)});
    u.uploadVerdictGiven = true;
    std::erase_if(uploadSessions(app).uploadOwed, [&](const auto& o) { return o.first == u.uploadFileName; });
    // A verdict is activity: a session of many small files is busy, not silent.
    u.uploadIdleTicks = 0;
    if (result != "pass") ++s.failedFiles;
    // A failed delete leaves the file; the next run finds it recorded and
    // does not send it again.
    if (result == "pass" && s.deleteAfterUpload) files::remove(app.workFile(u.uploadFileName));
}

void recordUploadedName(UploadSession& u) {
    App& app = u.app;
    files::append(app.ownFile("fileupl1.log"), u.uploadFileName + "\r\n");
    uploadSessions(app).uploadedNames.add(u.uploadFileName);
}

void recordUploadJudged(UploadSession& u, bool pass) {
    logUploadResult(u, pass ? "pass" : "fail");
    if (pass && u.app.s.uploadDupeCheck) recordUploadedName(u);
    u.failCause.clear();
}

void loadUploadedNames(App& app) {
    uploadSessions(app).uploadedNames.clear();
    auto text = files::readAll(app.ownFile("fileupl1.log"), 256 << 20);
    if (!text) return;
    for (auto& line : files::splitLines(*text)) uploadSessions(app).uploadedNames.add(line);
}

}  // namespace corvantel
