#include "download/selection.h"

#include <array>
#include <cctype>
#include <optional>

#include "app/app_state.h"
#include "app/text.h"
#include "app/waits.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/session.h"

namespace corvantel {

namespace files = platform::files;

bool safeLocalName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    // Separators would put the file outside the working directory; control
    // characters (CR, NUL, ...) in a name are a broken or hostile listing.
    for (char c : name)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 32) return false;
    return true;
}

bool patternTakes(const std::string& pattern, const std::string& name) {
    if (name.empty()) return false;
    // Hidden files are fetched only by a pattern that names them.
    if (name[0] == '.' && (pattern.empty() || pattern[0] != '.')) return false;
    return pattern.empty() || files::wildcardMatch(pattern, name);
}

bool namesNoFile(const std::string& name) { return name.empty() || name == "." || name == ".."; }

// The program's own files, which a download never replaces.
static const std::array<const char*, 8> ownFileNames = {"values.log",   "pather.log",      "filename2.log",
                                                        "dl_file_size.log", "fileupl1.log", "fileupl.log",
                                                        "err_dload.log", "err_upload.log"};

bool isOwnFile(App& app, const std::string& localName) {
    bool own = false;
    for (const char* n : ownFileNames)
        if (localName == n || localName == std::string(n) + ".tmp") own = true;
    return own && files::sameDirectory(app.workFile(""), app.ownFile(""));
}

std::string patternToken(const std::string& pattern) {
    if (pattern.empty()) return "xthisidiot";
    std::size_t start = pattern.size();
    while (start > 0 && static_cast<unsigned char>(pattern[start - 1]) >= 48) --start;
    return pattern.substr(start);
}

namespace {

bool isMonth(const std::string& t) {
    static const char* const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    if (t.size() != 3) return false;
    std::string l;
    for (char c : t) l += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char* m : months)
        if (l == m) return true;
    return false;
}

bool allDigits(const std::string& t, std::size_t lo, std::size_t hi) {
    if (t.size() < lo || t.size() > hi) return false;
    for (char c : t)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// "hh:mm" or a year.
bool isTimeOrYear(const std::string& t) {
    std::size_t colon = t.find(':');
    if (colon == std::string::npos) return allDigits(t, 4, 4);
    return allDigits(t.substr(0, colon), 1, 2) && allDigits(t.substr(colon + 1), 2, 2);
}

struct Token {
    std::string text;
    std::size_t end;  // position just after it in the line
};

std::vector<Token> tokens(const std::string& line) {
    std::vector<Token> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        std::size_t b = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > b) out.push_back({line.substr(b, i - b), i});
    }
    return out;
}

// The name of a file in one line of a long listing; nothing for lines that
// name no file (totals, directories, blank lines). size gets the size the
// line shows, where it shows one (-1 otherwise).
std::optional<std::string> listLineName(const std::string& line, std::int64_t& size) {
    size = -1;
    auto digits = [&](const std::string& t) {
        if (t.empty() || t.size() > 18) return;
        for (char c : t)
            if (!std::isdigit(static_cast<unsigned char>(c))) return;
        size = std::stoll(t);
    };
    if (line.empty()) return std::nullopt;
    const auto t = tokens(line);
    const char type = line[0];
    // Unix style: type and permissions, links, owner, [group,] size, then
    // month, day, and a time (recent files) or a year (older ones). The name
    // is the rest of the line after one blank.
    if (std::string("-dlbcps").find(type) != std::string::npos && t.size() >= 6) {
        for (std::size_t k = 3; k + 3 < t.size() + 1 && k + 2 < t.size(); ++k) {
            if (!isMonth(t[k].text) || !allDigits(t[k + 1].text, 1, 2) || !isTimeOrYear(t[k + 2].text)) continue;
            if (type == 'd') return std::nullopt;
            // A link's size is its own, not its file's.
            if (type == '-') digits(t[k - 1].text);
            std::size_t start = t[k + 2].end + 1;
            if (start > line.size()) return std::string();
            std::string name = line.substr(start);
            if (type == 'l') name = name.substr(0, name.find(" -> "));
            return name;
        }
    }
    // DOS style: date, time with AM/PM, size or <DIR>, name.
    if (t.size() >= 4 && t[0].text.size() >= 8 && t[0].text[2] == '-' && t[1].text.find(':') != std::string::npos) {
        if (t[2].text == "<DIR>") return std::nullopt;
        digits(t[2].text);
        std::size_t start = t[2].end;
        while (start < line.size() && line[start] == ' ') ++start;
        return line.substr(start);
    }
    // Anything else: the name follows an "hh:mm" time and one blank and ends
    // at the next blank.
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::size_t s = colon + 4;
    std::size_t count = 0;
    while (s + count < line.size() && static_cast<unsigned char>(line[s + count]) > 32) ++count;
    return s < line.size() ? line.substr(s, count) : std::string();
}

// Lines of a listing: they end at LF, with or without CR before it; a last
// line without an end counts too (the listing has ended when it is read).
template <typename F>
void forEachLine(const std::string& text, F&& f) {
    std::size_t b = 0;
    while (b < text.size()) {
        std::size_t lf = text.find('\n', b);
        std::size_t e = lf == std::string::npos ? text.size() : lf;
        std::size_t n = e;
        if (n > b && text[n - 1] == '\r') --n;
        f(text.substr(b, n - b), lf == std::string::npos ? text.size() : lf + 1);
        b = lf == std::string::npos ? text.size() : lf + 1;
    }
}

}  // namespace

bool wantedName(App& app, const std::string& name) {
    auto& s = app.s;
    if (namesNoFile(name) || downloadSessions(app).downloadSessionNames.contains(name)) return false;
    if (app.uploadingNow && app.uploadingNow(name)) return false;
    // Whatever the server chose to list, only the names the job's pattern
    // takes are fetched.
    if (!patternTakes(app.w.Text7.text(), name)) return false;
    // Settled files only: a name in the uploads' temporary suffix is
    // another uploader's file in progress (ours included).
    if (s.settleSeconds > 0 && endsWith(name, s.uploadTempSuffix)) return false;
    if (s.downloadDupeCheck && downloadSessions(app).downloadedNames.contains(name)) return false;
    downloadSessions(app).downloadSessionNames.add(name);
    return true;
}

void parseListListing(App& app, const std::string& text) {
    auto& entries = downloadSessions(app).downloadEntries;
    entries.clear();
    downloadSessions(app).downloadListedSizes.clear();
    forEachLine(text, [&](const std::string& line, std::size_t) {
        std::int64_t size = -1;
        if (auto name = listLineName(line, size)) {
            entries.push_back(*name);
            if (size >= 0) downloadSessions(app).downloadListedSizes[*name] = size;
        }
    });
    // Combo1 shows them.
    app.w.Combo1.setItems(entries);
}

// The position (1-based) of the line holding name in a name listing, or of
// the line after it; 1 when the name is not listed.
static std::int64_t linePosition(const std::string& text, const std::string& name, bool after) {
    std::size_t b = 0;
    while (b < text.size()) {
        const std::size_t lf = text.find('\n', b);
        const std::size_t next = lf == std::string::npos ? text.size() : lf + 1;
        std::size_t e = lf == std::string::npos ? text.size() : lf;
        if (e > b && text[e - 1] == '\r') --e;
        if (text.compare(b, e - b, name) == 0 && e - b == name.size())
            return static_cast<std::int64_t>(after ? next : b) + 1;
        b = next;
    }
    return 1;
}

bool selectNextNlstName(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    const std::string& text = downloadSessions(app).downloadListing;
    std::int64_t pos = downloadSessions(app).downloadNameCursor < 1 && downloadSessions(app).downloadNameCursor != -1 ? 1 : downloadSessions(app).downloadNameCursor;
    // The first name of a session that resumes a job run: where the name it
    // resumes at stands in this listing, which may differ from the last.
    if (downloadSessions(app).downloadNameCursor == s.downloadStartCursor && d.downloadNextDue && !s.downloadStartName.empty() &&
        downloadSessions(app).downloadSessionNames.empty()) {
        pos = linePosition(text, s.downloadStartName, s.downloadStartAfter);
        if (pos > static_cast<std::int64_t>(text.size())) pos = -1;
    }
    while (pos != -1) {
        downloadSessions(app).downloadNameScanStart = pos;
        const auto b = static_cast<std::size_t>(pos - 1);
        if (b >= text.size()) break;
        std::size_t lf = text.find('\n', b);
        std::size_t e = lf == std::string::npos ? text.size() : lf;
        std::size_t n = e;
        if (n > b && text[n - 1] == '\r') --n;
        d.downloadTarget = text.substr(b, n - b);
        pos = static_cast<std::int64_t>(e) + 2;
        downloadSessions(app).downloadNameCursor = pos;
        if (wantedName(app, d.downloadTarget)) return true;
    }
    d.downloadTarget = "done";
    d.downloadOver = true;
    downloadSessions(app).downloadNameCursor = -1;
    return false;
}

Task<bool> selectNextListEntry(DownloadSession& d) {
    App& app = d.app;
    if (d.downloadStep == 12 && d.downloadNextDue) {
        if (downloadSessions(app).listEntryIndex == 0) {
            parseListListing(app, downloadSessions(app).downloadListing);
            downloadSessions(app).listingLastIndex = static_cast<std::int64_t>(downloadSessions(app).downloadEntries.size()) - 1;
        }
        bool found = false;
        while (downloadSessions(app).listEntryIndex <= downloadSessions(app).listingLastIndex && !found) {
            // Passed before the pause below: another connection walking the
            // listing meanwhile goes on from the next entry.
            // (A listing shorter than the one the walk began on has nothing
            // past its end.)
            const auto at = static_cast<std::size_t>(downloadSessions(app).listEntryIndex++);
            const std::string entry = at < downloadSessions(app).downloadEntries.size() ? downloadSessions(app).downloadEntries[at] : std::string();
            if (patternTakes(app.w.Text7.text(), entry)) {
                d.downloadTarget = entry;
                found = wantedName(app, entry);
                // The pause for each matching entry; it is activity, so the
                // watchdog does not take a session over for a long walk.
                co_await downloadEntryPause(d);
                d.downloadIdleTicks = 0;
            }
        }
        if (!found) {
            d.downloadTarget = "done";
            d.downloadOver = true;
        }
        co_return found;
    }
    d.downloadFileName = d.downloadTarget;
    co_return true;
}

Task<bool> selectNextDownload(DownloadSession& d) {
    App& app = d.app;
    const bool fresh = d.downloadStep == 12 && d.downloadNextDue;
    if (!fresh) {
        d.downloadFileName = d.downloadTarget;
        co_return true;
    }
    // More connections: a file a lost connection left is taken first, and
    // none once the job's first session is ending.
    auto& requeue = downloadSessions(app).requeue;
    if (d.helper && requeue.stop) {
        d.downloadTarget = "done";
        d.downloadOver = true;
        co_return false;
    }
    if (!requeue.names.empty()) {
        d.downloadTarget = requeue.names.front();
        d.requeuedTaken = d.downloadTarget;
        requeue.names.pop_front();
        co_return true;
    }
    for (;;) {
        bool found = false;
        if (app.w.ai_nlst.checked())
            found = selectNextNlstName(d);
        else
            found = co_await selectNextListEntry(d);
        if (!found) co_return false;
        if (safeLocalName(d.downloadTarget) && !isOwnFile(app, downloadLocalName(app, d.downloadTarget)))
            co_return true;
        // A name that would land outside the working directory, or on one of
        // the program's own files, is never fetched: it is recorded as
        // failed (a line of its own for the first ones of the session only)
        // and the next one is taken.
        const std::string previous = d.downloadFileName;
        const std::int64_t expected = d.downloadExpectedSize;
        const bool lastPassed = d.downloadLastPassed;
        const bool pending = d.downloadVerdictPending;
        d.downloadFileName = d.downloadTarget;
        d.downloadExpectedSize = -1;
        recordUnsafeName(d);
        d.downloadFileName = previous;
        d.downloadExpectedSize = expected;
        d.downloadLastPassed = lastPassed;
        d.downloadVerdictPending = pending;
    }
}

}  // namespace corvantel
