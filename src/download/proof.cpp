#include "download/proof.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <unordered_set>
#include <vector>

#include "app/app_state.h"
#include "app/verify.h"
#include "app/waits.h"
#include "download/retrieval.h"
#include "download/session.h"

namespace corvantel {

namespace files = platform::files;

bool downloadProofWanted(const App& app) {
    const auto& s = app.s;
    return s.verifyTransfers || s.settleSeconds > 0 || s.resumeDownloads;
}

namespace {

bool binaryType(const App& app) { return app.s.transferType == "TYPE I"; }

// A kept partial file's name: "." + local name + "." + its identity (the
// server's size and time when it was kept) + a random part + the suffix.
struct KeptPart {
    std::string name, local;
    bool identified = false;
    std::int64_t size = -1, time = -1;
};

std::optional<KeptPart> parsePart(const std::string& name) {
    if (!isPartialDownload(name)) return std::nullopt;
    const std::string core = name.substr(1, name.size() - 1 - std::string(partSuffix).size());
    const std::size_t dot = core.rfind('.');
    if (dot == std::string::npos || dot == 0) return std::nullopt;
    KeptPart p{name, core.substr(0, dot)};
    const std::string middle = core.substr(dot + 1);
    // "r" SIZE "-" TIME-or-"x" "-" random
    auto number = [&](std::size_t& i, std::int64_t& v) {
        const std::size_t b = i;
        v = 0;
        while (i < middle.size() && std::isdigit(static_cast<unsigned char>(middle[i])) && i - b < 18)
            v = v * 10 + (middle[i++] - '0');
        return i > b;
    };
    std::size_t i = 1;
    if (middle.size() > 1 && middle[0] == 'r' && number(i, p.size) && i < middle.size() && middle[i++] == '-') {
        bool timed = i < middle.size() && middle[i] == 'x' ? (p.time = -1, ++i, true) : number(i, p.time);
        p.identified = timed && i + 1 < middle.size() && middle[i] == '-';
    }
    return p;
}

// Whether a kept part's local name belongs to the remote file: today's
// local name, or, with the date stamp, the name of another day.
bool partOf(App& app, const std::string& local, const std::string& remote) {
    if (local == downloadLocalName(app, remote)) return true;
    if (!app.w.ai_dstamp.checked() || local.size() != 9 + remote.size() || local[8] != '_') return false;
    for (int i = 0; i < 8; ++i)
        if (!std::isdigit(static_cast<unsigned char>(local[static_cast<std::size_t>(i)]))) return false;
    return local.compare(9, remote.size(), remote) == 0;
}

// The kept partial files of the work directory, read once a session. Parts
// of files the listing no longer names, parts without an identity, and
// parts older than keptPartDays are removed then: nothing can resume them.
constexpr std::int64_t keptPartDays = 7;

std::vector<std::string>& keptParts(App& app) {
    if (downloadSessions(app).downloadPartsRead) return downloadSessions(app).downloadKeptParts;
    downloadSessions(app).downloadPartsRead = true;
    downloadSessions(app).downloadKeptParts.clear();
    std::unordered_set<std::string> listed;
    if (app.w.ai_nlst.checked()) {
        for (auto& n : files::splitLines(downloadSessions(app).downloadListing)) listed.insert(n);
    } else {
        listed.insert(downloadSessions(app).downloadEntries.begin(), downloadSessions(app).downloadEntries.end());
    }
    const std::int64_t oldest = (app.plat.clock().utcSeconds() - keptPartDays * 86400) * 1000000000;
    for (const auto& name : files::listFiles(app.workFile(""), ".*")) {
        const auto p = parsePart(name);
        if (!p) continue;
        bool named = false;
        for (const std::string& remote : {p->local, p->local.size() > 9 ? p->local.substr(9) : std::string()})
            if (!remote.empty() && listed.count(remote) && partOf(app, p->local, remote)) named = true;
        const auto st = files::stamp(app.workFile(name));
        if (!p->identified || !named || !st || st->modifiedNs < oldest) {
            files::remove(app.workFile(name));
            continue;
        }
        downloadSessions(app).downloadKeptParts.push_back(name);
    }
    return downloadSessions(app).downloadKeptParts;
}

// The largest partial file kept for the chosen file (the others are
// removed); it is taken off the session's list.
std::optional<KeptPart> keptPartial(App& app, const std::string& remote) {
    auto& parts = keptParts(app);
    std::optional<KeptPart> best;
    std::int64_t bestSize = -1;
    for (auto it = parts.begin(); it != parts.end();) {
        const auto p = parsePart(*it);
        if (!p || !partOf(app, p->local, remote)) {
            ++it;
            continue;
        }
        const auto st = files::stamp(app.workFile(*it));
        const std::int64_t size = st ? st->size : -1;
        if (size > bestSize) {
            if (best) files::remove(app.workFile(best->name));
            best = p;
            bestSize = size;
        } else {
            files::remove(app.workFile(*it));
        }
        it = parts.erase(it);
    }
    return best;
}

// A kept partial file of the chosen file is resumed (reopened, and REST
// asks for the rest) only when it is provably a beginning of the same file:
// the server states the same size and time as when the part was kept, it
// is shorter than that size, and a file without a time can be proven by a
// checksum afterwards. Any other is removed and the file fetched whole.
}  // namespace

std::int64_t openKeptPart(DownloadSession& d, std::int64_t serverTime, bool timeProves) {
    App& app = d.app;
    const auto kept = keptPartial(app, d.downloadTarget);
    if (!kept) return 0;
    // Resuming given up for this session: the file comes whole, and its
    // part can never be resumed after that.
    if (downloadSessions(app).downloadResumeOff) {
        files::remove(app.workFile(kept->name));
        return 0;
    }
    const bool sameCopy = binaryType(app) && kept->identified && d.downloadServerSize >= 0 &&
                          kept->size == d.downloadServerSize && kept->time == serverTime && timeProves;
    if (!sameCopy) {
        files::remove(app.workFile(kept->name));
        return 0;
    }
    // Opened first, then judged by what was opened (a regular file of ours
    // with a single name): nothing put under the name meanwhile, a FIFO
    // least of all, is written on or waited for.
    if (!d.file.reopen(app.workFile(""), kept->name)) return 0;  // not ours: left alone
    const std::int64_t have = d.file.size();
    if (have <= 0 || have >= d.downloadServerSize) {
        d.file.close();  // removes it
        return 0;
    }
    return have;
}

namespace {

Task<> resumeIfKept(DownloadSession& d, std::int64_t serverTime) {
    App& app = d.app;
    auto& s = app.s;
    const bool sameFileProvable = serverTime >= 0 || (s.verifyTransfers && binaryType(app) &&
                                                      checksumAskable(d.proof.plan, d.downloadTarget));
    const std::int64_t have = openKeptPart(d, serverTime, sameFileProvable);
    if (have <= 0) co_return;
    // Sent, it may outlive a transfer that never starts: the next file's
    // RETR then goes after "REST 0" whatever the waits.
    d.downloadRestUsed = true;
    const auto r = co_await ask(controlJob(d), "REST " + std::to_string(have));
    if (!r || (*r)[0] != '3') {
        // Refused: the whole file again (closing removes the partial file).
        d.file.close();
        co_return;
    }
    d.downloadPartPath = d.file.path();
    d.downloadResumeAt = have;
}

void noteUnverified(DownloadSession& d) {
    App& app = d.app;
    if (d.proof.unverifiedNoted) return;
    d.proof.unverifiedNoted = true;
    appendDownloadNote(app, unverifiedText);
}

}  // namespace

// A server time ahead of the listing (a server that tells local time as
// UTC, a camera with a wrong clock): the time proves nothing, so the file
// is settled once its size and time have stayed the same for the settle
// interval. The error log says once a session that the clocks differ.
bool settledAhead(DownloadSession& d, std::int64_t serverTime) {
    App& app = d.app;
    auto& s = app.s;
    if (!downloadSessions(app).downloadClocksNoted) {
        downloadSessions(app).downloadClocksNoted = true;
        appendDownloadNote(app, clocksDifferText);
    }
    // Bounded whatever the server lists.
    if (downloadSessions(app).downloadAheadSeen.size() > 10000) downloadSessions(app).downloadAheadSeen.clear();
    const auto it = downloadSessions(app).downloadAheadSeen.find(d.downloadTarget);
    if (it == downloadSessions(app).downloadAheadSeen.end() || it->second.size != d.downloadServerSize || it->second.time != serverTime) {
        downloadSessions(app).downloadAheadSeen[d.downloadTarget] = {d.downloadServerSize, serverTime, downloadSessions(app).downloadListingTime};
        return false;
    }
    if (downloadSessions(app).downloadListingTime - it->second.since < s.settleSeconds) return false;
    downloadSessions(app).downloadAheadSeen.erase(it);
    return true;
}

Task<bool> prepareDownload(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    const auto job = controlJob(d);
    const std::string& name = d.downloadTarget;
    std::int64_t serverTime = -1;
    d.downloadServerTime = -1;
    bool ahead = false;
    if ((s.settleSeconds > 0 || s.resumeDownloads) && d.proof.features.mdtm) {
        const auto r = co_await ask(job, "MDTM " + name);
        if (r) serverTime = mdtmFromReply(*r).value_or(-1);
        if (sessionEnding(d)) co_return false;
        ahead = s.settleSeconds > 0 && serverTime > downloadSessions(app).downloadListingTime;
        // Modified too short a while before the listing: it may still be
        // being written.
        if (s.settleSeconds > 0 && serverTime >= 0 && !ahead && serverTime > downloadSessions(app).downloadListingTime - s.settleSeconds)
            co_return false;
    }
    d.downloadServerTime = serverTime;
    if (d.proof.features.size) {
        const auto r = co_await ask(job, "SIZE " + name);
        if (r) d.downloadServerSize = sizeFromReply(*r).value_or(-1);
        if (sessionEnding(d)) co_return false;
    }
    if (ahead && !settledAhead(d, serverTime)) co_return false;
    // Not the size the long listing showed: it changed since (in binary,
    // where both count the bytes stored).
    if (s.settleSeconds > 0 && d.downloadServerSize >= 0 && binaryType(app) && !app.w.ai_nlst.checked()) {
        const auto listed = downloadSessions(app).downloadListedSizes.find(name);
        if (listed != downloadSessions(app).downloadListedSizes.end() && listed->second != d.downloadServerSize) co_return false;
    }
    if (s.resumeDownloads) co_await resumeIfKept(d, serverTime);
    co_return !sessionEnding(d);
}

Task<bool> downloadGrewMeanwhile(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    if (s.settleSeconds <= 0 || !d.proof.features.size || d.downloadServerSize < 0) co_return false;
    const auto r = co_await ask(controlJob(d), "SIZE " + d.downloadFileName);
    if (!r || sessionEnding(d)) co_return false;
    const auto after = sizeFromReply(*r);
    co_return after && *after != d.downloadServerSize;
}

std::string partIdentity(std::int64_t size, std::int64_t time) {
    return "r" + std::to_string(size) + "-" + (time >= 0 ? std::to_string(time) : std::string("x")) + "-";
}

void startDownloadDigest(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    const bool hashed = s.verifyTransfers && binaryType(app) && d.proof.plan.kind != platform::HashKind::None;
    d.digest.start(hashed ? d.proof.plan.kind : platform::HashKind::None);
    if (!hashed || d.downloadResumeAt == 0) return;
    // A resumed file: the kept part is read once, the rest is hashed as it
    // comes.
    files::ReadFile kept;
    if (!kept.open(d.downloadPartPath)) return;
    for (;;) {
        const std::string piece = kept.read(1 << 20);
        if (piece.empty()) break;
        d.digest.update(piece);
    }
}

// A failed proof, with the cause its verdict names.
static DownloadProof failBecause(DownloadSession& d, std::string cause) {
    d.failCause = std::move(cause);
    return DownloadProof::Fail;
}

static std::string sizeDiffers(std::int64_t server, std::int64_t received) {
    return "size differs from the server's: " + std::to_string(server) + " bytes there, " + std::to_string(received) +
           " received";
}

Task<DownloadProof> proveDownload(DownloadSession& d) {
    App& app = d.app;
    auto& s = app.s;
    const auto job = controlJob(d);
    const std::string& name = d.downloadFileName;
    const std::int64_t total = d.downloadBytes;
    // A resumed file is whole only at the server's size.
    if (d.downloadResumeAt > 0 && total != d.downloadServerSize)
        co_return failBecause(d, sizeDiffers(d.downloadServerSize, total));
    const bool askAgain = d.proof.features.size && (s.settleSeconds > 0 || s.verifyTransfers);
    std::optional<std::int64_t> after;
    if (askAgain) {
        const auto r = co_await ask(job, "SIZE " + name);
        if (r) after = sizeFromReply(*r);
        if (sessionEnding(d)) co_return failBecause(d, "session failed");
    }
    // Its size changed while it was fetched: it is still being written.
    if (s.settleSeconds > 0 && d.downloadServerSize >= 0 && after && *after != d.downloadServerSize)
        co_return DownloadProof::Leave;
    // A size the server told is never contradicted by a pass, whatever the
    // transfer announced (in binary, where both count the bytes stored).
    if (binaryType(app) && d.downloadServerSize >= 0 && total != d.downloadServerSize)
        co_return failBecause(d, sizeDiffers(d.downloadServerSize, total));
    if (!s.verifyTransfers) co_return DownloadProof::Pass;
    bool proven = false;
    if (d.proof.features.size) {
        // In ASCII a server may refuse SIZE (it would have to convert the
        // whole file to tell it): a refusal then proves nothing either way.
        if (binaryType(app) && (d.downloadServerSize < 0 || !after))
            co_return failBecause(d, "size not confirmed by the server");
        // In ASCII the size on the server's disk is not the size that
        // came (line ends change on the way): it proves nothing.
        if (binaryType(app) && d.downloadServerSize >= 0) {
            if (total != d.downloadServerSize || (after && *after != total))
                co_return failBecause(d, sizeDiffers(total != d.downloadServerSize ? d.downloadServerSize : *after, total));
            proven = true;
        }
    }
    if (d.digest.kind() != platform::HashKind::None && checksumAskable(d.proof.plan, name)) {
        const auto sum = co_await askChecksum(job, d.proof, name, total);
        if (!sum || *sum != d.digest.hex()) {
            if (sum) d.downloadPartialBad = true;
            co_return failBecause(d, sum ? "checksum mismatch" : "checksum not confirmed by the server");
        }
        proven = true;
    }
    if (!proven) noteUnverified(d);
    co_return DownloadProof::Pass;
}

}  // namespace corvantel
