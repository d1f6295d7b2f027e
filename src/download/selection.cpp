#include "download/selection.h"

#include "app/app_state.h"
#include "download/records.h"
#include "schedule/drivers.h"

namespace corvantel {

bool safeLocalName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
}

std::int64_t nlstLineStart(const std::string& text, std::int64_t p) {
    if (p <= 0) return 1;
    const auto n = static_cast<std::int64_t>(text.size());
    if (p > n) p = n;
    if (p <= 0) return 1;
    auto code = [&](std::int64_t pos) { return static_cast<unsigned char>(text[static_cast<std::size_t>(pos - 1)]); };
    while (code(p) >= 14 && p > 1) --p;
    if (code(p) <= 13 && p > 1) return p + 1;
    return 1;
}

std::string patternToken(const std::string& pattern) {
    if (pattern.empty()) return "xthisidiot";
    std::size_t start = pattern.size();
    while (start > 0 && static_cast<unsigned char>(pattern[start - 1]) >= 48) --start;
    return pattern.substr(start);
}

void parseListListing(App& app, const std::string& text) {
    auto& combo = app.w.Combo1;
    combo.clear();
    const std::size_t n = text.size();
    // Positions are 1-based as the listing rules count them.
    for (std::size_t i = 1; i < n; ++i) {
        if (text[i - 1] != ':') continue;
        std::size_t s = i + 4;
        std::size_t count = 0;
        while (s + count <= n && static_cast<unsigned char>(text[s + count - 1]) > 32) ++count;
        combo.add(s <= n ? text.substr(s - 1, count) : std::string());
        i = s + count;
    }
}

bool selectNextNlstName(App& app) {
    auto& s = app.s;
    const std::string& text = app.w.fText5.text();
    std::int64_t pos = s.downloadNameCursor < 1 && s.downloadNameCursor != -1 ? 1 : s.downloadNameCursor;
    bool found = false;
    std::int64_t i = 1;
    while (!found && i > 0 && pos != -1) {
        s.downloadNameScanStart = pos;
        std::size_t cr = static_cast<std::size_t>(pos - 1) < text.size() ? text.find('\r', static_cast<std::size_t>(pos - 1))
                                                                          : std::string::npos;
        i = cr == std::string::npos ? 0 : static_cast<std::int64_t>(cr) + 1;
        if (i == 0) {
            s.downloadTarget = "done";
        } else {
            std::int64_t start = nlstLineStart(text, i - 1);
            s.downloadTarget = start < i ? text.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(i - start)) : "";
            // A blank line names nothing.
            found = !s.downloadTarget.empty() && s.downloadTarget != s.uploadFileName &&
                    (s.downloadedNames.empty() || s.downloadedNames.find(s.downloadTarget) == std::string::npos ||
                     !s.downloadDupeCheck);
            pos = i + 1;
            s.downloadNameCursor = pos;
        }
    }
    if (i == 0) {
        s.downloadNameCursor = -1;
        return false;
    }
    return found;
}

bool selectNextListEntry(App& app) {
    auto& s = app.s;
    const std::string t = patternToken(app.w.Text7.text());
    if (s.downloadStep == 12 && s.downloadNextDue) {
        if (s.listEntryIndex == 0) {
            parseListListing(app, app.w.fText5.text());
            s.listingLastIndex = app.w.Combo1.count() - 1;
        }
        bool found = false;
        while (s.listEntryIndex <= s.listingLastIndex && !found) {
            const std::string& entry = app.w.Combo1.item(s.listEntryIndex);
            if (t == "xthisidiot" || entry.find(t) != std::string::npos) {
                s.downloadTarget = entry;
                found = !entry.empty() && (s.downloadedNames.empty() ||
                                           s.downloadedNames.find(entry) == std::string::npos || !s.downloadDupeCheck);
                downloadTimedWait(app, [&] { return s.downloadWaitSeconds >= 9; });
            }
            ++s.listEntryIndex;
        }
        if (!found) s.downloadTarget = "done";
        return found;
    }
    s.downloadFileName = s.downloadTarget;
    return true;
}

bool selectNextDownload(App& app) {
    auto& s = app.s;
    const bool fresh = s.downloadStep == 12 && s.downloadNextDue;
    if (!fresh) {
        s.downloadFileName = s.downloadTarget;
        return true;
    }
    for (;;) {
        bool found = app.w.ai_nlst.checked() ? selectNextNlstName(app) : selectNextListEntry(app);
        if (!found || safeLocalName(s.downloadTarget)) return found;
        // A name that would land outside the working directory is never
        // fetched: it is recorded as failed and the next one is taken.
        const std::string previous = s.downloadFileName;
        const std::int64_t expected = s.downloadExpectedSize;
        const bool lastPassed = s.downloadLastPassed;
        s.downloadFileName = s.downloadTarget;
        s.downloadExpectedSize = -1;
        recordDownloadResult(app, "fail");
        s.downloadFileName = previous;
        s.downloadExpectedSize = expected;
        s.downloadLastPassed = lastPassed;
    }
}

}  // namespace corvantel
