#include "upload/temp_name.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "app/app_state.h"
#include "app/text.h"
#include "app/verify.h"
#include "upload/session.h"

namespace corvantel {

namespace files = platform::files;

namespace {

// The record of the temporary copies kept to be resumed, beside the
// program's other files: one line each, "size<TAB>time<TAB>way<TAB>name",
// the local file's size and time (nanoseconds) when its copy was cut, and
// how it is continued ("S": REST and STOR where offered, "A": APPE).
constexpr const char* keptRecord = "upl_parts.log";
// Bounded whatever a run leaves behind: the oldest go first.
constexpr std::size_t maxKept = 1000;

bool resumable(const App& app) {
    return app.s.uploadTempName && app.s.resumeDownloads && app.s.transferType == "TYPE I";
}

std::optional<std::int64_t> number(const std::string& t) {
    if (t.empty() || t.size() > 19) return std::nullopt;
    std::int64_t v = 0;
    for (char c : t) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        v = v * 10 + (c - '0');
    }
    return v;
}

std::map<std::string, UploadSessions::KeptCopy>& keptCopies(App& app) {
    auto& job = uploadSessions(app);
    if (job.uploadTempKeptRead) return job.uploadTempKept;
    job.uploadTempKeptRead = true;
    job.uploadTempKept.clear();
    const auto text = files::readAll(app.ownFile(keptRecord), 1 << 20);
    if (!text) return job.uploadTempKept;
    for (const auto& line : files::splitLines(*text)) {
        const auto a = line.find('\t');
        const auto b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos || b + 3 > line.size() || line[b + 2] != '\t' ||
            job.uploadTempKept.size() >= maxKept)
            continue;
        const auto size = number(line.substr(0, a)), time = number(line.substr(a + 1, b - a - 1));
        const char way = line[b + 1];
        const std::string name = line.substr(b + 3);
        if (size && time && (way == 'S' || way == 'A') && !name.empty() && fitsInCommand(name))
            job.uploadTempKept[name] = {{*size, *time}, way == 'A'};
    }
    return job.uploadTempKept;
}

void saveKept(App& app) {
    const auto& kept = uploadSessions(app).uploadTempKept;
    if (kept.empty()) {
        files::remove(app.ownFile(keptRecord));
        return;
    }
    std::string text;
    for (const auto& [name, k] : kept)
        text += std::to_string(k.local.size) + "\t" + std::to_string(k.local.modifiedNs) + "\t" +
                (k.append ? "A" : "S") + "\t" + name + "\r\n";
    files::writeWhole(app.ownFile(keptRecord), text, 0600);
}

void forgetKept(App& app, const std::string& temp) {
    if (keptCopies(app).erase(temp)) saveKept(app);
}

// The job's list of copies to delete, bounded whatever a server refuses
// (the oldest go).
constexpr std::size_t maxLeft = 100;

void noteLeft(App& app, const std::string& temp) {
    auto& left = uploadSessions(app).uploadTempLeft;
    if (std::find(left.begin(), left.end(), temp) != left.end()) return;
    if (left.size() >= maxLeft) left.erase(left.begin());
    left.push_back(temp);
}

bool positive(const std::optional<std::string>& r, char digit) { return r && !r->empty() && (*r)[0] == digit; }

bool deleted(const std::optional<std::string>& r) { return r && !r->empty() && (*r)[0] == '2'; }

// The copy is to go: deleted now, or left on the job's list when the
// server does not delete it (the next store of that name deletes it first:
// a server that never stores over a file would refuse that store).
Task<> dropTemp(UploadSession& u, std::string temp) {
    const auto r = co_await ask(controlJob(u), "DELE " + temp);
    if (!deleted(r)) noteLeft(u.app, temp);
}

// RNFR from, then RNTO to: whether both went through.
Task<bool> renamed(ControlJob control, std::string from, std::string to) {
    const auto r = co_await ask(control, "RNFR " + from);
    if (!positive(r, '3')) co_return false;
    const auto s = co_await ask(control, "RNTO " + to);
    co_return positive(s, '2');
}

}  // namespace

Task<> prepareTempStore(UploadSession& u) {
    App& app = u.app;
    const std::string temp = u.uploadTarget + app.s.uploadTempSuffix;
    u.uploadTempTarget = temp;
    u.uploadStoreCommand = "STOR " + temp;
    u.uploadResumeFrom = 0;
    const auto control = controlJob(u);
    // A copy an earlier attempt left is deleted first, so that a server
    // that never stores over a file takes the new one.
    bool stale = std::erase(uploadSessions(app).uploadTempLeft, temp) > 0;
    auto& kept = keptCopies(app);
    if (const auto k = kept.find(temp); k != kept.end()) {
        // Continued only while the local file is the one whose copy was
        // cut: same size, same time.
        const bool same = resumable(app) && k->second.local == u.uploadOpenStamp;
        const bool append = k->second.append;
        forgetKept(app, temp);
        stale = true;
        if (same) {
            const auto r = co_await ask(control, "SIZE " + temp);
            const auto size = r ? sizeFromReply(*r) : std::nullopt;
            if (size && *size > 0 && *size < u.uploadFileLength) {
                u.uploadResumeFrom = *size;
                if (!append && u.proof.features.rest) {
                    const auto rest = co_await ask(control, "REST " + std::to_string(*size));
                    if (positive(rest, '3')) co_return;
                }
                u.uploadStoreCommand = "APPE " + temp;
                co_return;
            }
            // Gone, empty, or as large as the file or larger: sent whole.
            stale = size.has_value();
        }
    }
    if (stale) co_await ask(control, "DELE " + temp);
}

Task<bool> putInPlace(UploadSession& u) {
    App& app = u.app;
    auto& job = uploadSessions(app);
    const std::string temp = u.uploadTempTarget, target = u.uploadTarget;
    u.uploadTempStored = false;
    const auto control = controlJob(u);
    const auto from = co_await ask(control, "RNFR " + temp);
    if (!from) {
        u.failCause = "rename not answered";
        noteLeft(app, temp);
        co_return false;
    }
    if (!positive(from, '3')) {
        if (!job.uploadRenameNoted) {
            job.uploadRenameNoted = true;
            appendUploadNote(app, renameRefusedText);
        }
        u.failCause = "rename refused by the server";
        co_await dropTemp(u, temp);
        co_return false;
    }
    const auto to = co_await ask(control, "RNTO " + target);
    if (positive(to, '2')) {
        forgetKept(app, temp);
        co_return true;
    }
    if (!to) {
        u.failCause = "rename not answered";
        noteLeft(app, temp);
        co_return false;
    }
    // Refused: some servers never rename over an existing file. The old
    // copy is moved aside, the new one takes the name, and only then the
    // old one is deleted; a server that refuses any step keeps its old copy
    // under the name.
    const std::string aside = target + ".old" + app.s.uploadTempSuffix;
    // (One an interrupted replacement left would stand in the way; the
    // name holds a copy, so it is not the only one.)
    std::erase(job.uploadTempLeft, aside);
    co_await ask(control, "DELE " + aside);
    const bool moved = co_await renamed(control, target, aside);
    if (!moved) {
        u.failCause = "rename refused by the server";
        co_await dropTemp(u, temp);
        co_return false;
    }
    const bool placed = co_await renamed(control, temp, target);
    if (placed) {
        appendUploadNote(app, "Replaced: the server renames nothing over an existing file; the old " +
                                  logSafeName(target) + " was deleted once the new copy had its name");
        co_await dropTemp(u, aside);
        forgetKept(app, temp);
        co_return true;
    }
    // The old copy goes back under its name.
    const bool back = co_await renamed(control, aside, target);
    if (!back)
        appendUploadNote(app,
                         "Rename Failed: the old copy of " + logSafeName(target) + " stays as " + logSafeName(aside));
    u.failCause = "rename refused by the server";
    co_await dropTemp(u, temp);
    co_return false;
}

void leaveTemp(UploadSession& u, bool cut, bool append) {
    if (!u.uploadTempStored) return;
    u.uploadTempStored = false;
    App& app = u.app;
    auto& job = uploadSessions(app);
    const std::string& temp = u.uploadTempTarget;
    if (cut && resumable(app) && u.uploadOpenStamp.size >= 0) {
        auto& kept = keptCopies(app);
        // (The oldest record goes when the record is full.)
        if (kept.size() >= maxKept && !kept.count(temp)) kept.erase(kept.begin());
        kept[temp] = {u.uploadOpenStamp, append};
        saveKept(app);
        std::erase(job.uploadTempLeft, temp);
        return;
    }
    noteLeft(app, temp);
}

Task<> clearOwnTemp(UploadSession& u) {
    auto& left = uploadSessions(u.app).uploadTempLeft;
    if (u.uploadTempTarget.empty() || std::find(left.begin(), left.end(), u.uploadTempTarget) == left.end()) co_return;
    std::erase(left, u.uploadTempTarget);
    co_await dropTemp(u, u.uploadTempTarget);
}

Task<> clearLeftovers(UploadSession& u) {
    const auto names = uploadSessions(u.app).uploadTempLeft;
    if (names.empty()) co_return;
    // The answer to the last command first (a data setup that nothing
    // used, say), for a few seconds at most.
    co_await sessionTimedWait(u, [&u] {
        return u.ledger.idle() || u.control.state() != platform::Endpoint::Connected || u.waitSeconds >= 5;
    });
    // Each once: one the server does not delete stays on the list, and an
    // unanswered question ends the round.
    for (const auto& temp : names) {
        if (u.control.state() != platform::Endpoint::Connected || sessionEnding(u) || !u.ledger.idle()) co_return;
        const auto r = co_await ask(controlJob(u), "DELE " + temp);
        if (!r) co_return;
        if (deleted(r)) std::erase(uploadSessions(u.app).uploadTempLeft, temp);
    }
}

bool uploadsResumable(const App& app) { return resumable(app); }

void keepCutCopy(UploadSession& u, const std::string& temp) {
    App& app = u.app;
    auto& kept = keptCopies(app);
    if (kept.size() >= maxKept && !kept.count(temp)) kept.erase(kept.begin());
    kept[temp] = {u.uploadOpenStamp, false};
    saveKept(app);
}

bool takeCutCopy(UploadSession& u, const std::string& temp) {
    auto& kept = keptCopies(u.app);
    const auto it = kept.find(temp);
    if (it == kept.end()) return false;
    const bool same = u.uploadOpenStamp.size >= 0 && it->second.local == u.uploadOpenStamp;
    kept.erase(it);
    saveKept(u.app);
    return same;
}

}  // namespace corvantel
