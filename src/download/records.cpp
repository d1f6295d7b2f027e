#include "download/records.h"

#include "app/app_state.h"
#include "app/text.h"

namespace corvantel {

namespace files = platform::files;
namespace fmt = platform::fmt;

void recordDownloadResult(App& app, const std::string& result) {
    auto& s = app.s;
    std::string sizeText;
    s.downloadVerdictPending = false;
    if (s.downloadFileName == s.downloadOwedName) s.downloadOwedName.clear();
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
}

void loadDownloadedNames(App& app) {
    auto& s = app.s;
    s.downloadedNames.clear();
    auto text = files::readAll(app.ownFile("filename2.log"), 256 << 20);
    if (!text) return;
    for (auto& line : files::splitLines(*text)) s.downloadedNames.add(line);
}

}  // namespace corvantel
