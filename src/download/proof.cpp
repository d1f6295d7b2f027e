#include "download/proof.h"

#include <algorithm>
#include <cctype>

#include "app/app_state.h"
#include "app/verify.h"
#include "app/waits.h"
#include "download/retrieval.h"

namespace corvantel {

namespace files = platform::files;

bool downloadProofWanted(const App& app) {
    const auto& s = app.s;
    return s.verifyTransfers || s.settleSeconds > 0 || s.resumeDownloads;
}

namespace {

bool binaryType(const App& app) { return app.s.transferType == "TYPE I"; }

// The largest partial file kept for the chosen file; the others are
// removed. With the download date stamp, parts kept on other days (under
// that day's local name) belong to it too.
std::string keptPartial(App& app, const std::string& remote) {
    const std::string today = partialName(downloadLocalName(app, remote));
    const bool stamped = app.w.ai_dstamp.checked();
    // The length of the name's start that names the file: "." + local name
    // + "."; 0 when the name is no part of it.
    auto prefixOf = [&](const std::string& name) -> std::size_t {
        if (name.compare(0, today.size(), today) == 0) return today.size();
        if (!stamped || name.size() < 10 + remote.size() + 1 || name[0] != '.' || name[9] != '_') return 0;
        for (int i = 1; i <= 8; ++i)
            if (!std::isdigit(static_cast<unsigned char>(name[static_cast<std::size_t>(i)]))) return 0;
        return name.compare(10, remote.size() + 1, remote + ".") == 0 ? 10 + remote.size() + 1 : 0;
    };
    std::string best;
    std::int64_t bestSize = -1;
    for (const auto& name : files::listFiles(app.workFile(""), ".*")) {
        const std::size_t prefix = prefixOf(name);
        if (prefix == 0 || !isPartialDownload(name)) continue;
        // Only the random part lies between the prefix and the suffix.
        const std::string middle = name.substr(prefix);
        if (middle.find('.') != middle.rfind('.')) continue;
        const auto st = files::stamp(app.workFile(name));
        if (!st) continue;
        if (st->size > bestSize) {
            if (!best.empty()) files::remove(app.workFile(best));
            best = name;
            bestSize = st->size;
        } else {
            files::remove(app.workFile(name));
        }
    }
    return best;
}

// A kept partial file of the chosen file, still a true beginning of the
// server's copy, is reopened and REST asks for the rest; any other is
// removed and the file is fetched whole.
void resumeIfKept(App& app, std::int64_t serverTime) {
    auto& s = app.s;
    const std::string kept = keptPartial(app, s.downloadTarget);
    if (kept.empty()) return;
    const auto st = files::stamp(app.workFile(kept));
    // It must be no longer than the server's copy, and not older than it;
    // a server that cannot tell its file's time proves that it is the same
    // file only by a checksum afterwards.
    const bool sameFileProvable = serverTime >= 0 || (s.verifyTransfers && binaryType(app) &&
                                                      checksumAskable(s.downloadProof.plan, s.downloadTarget));
    bool usable = st && s.downloadServerSize >= 0 && st->size > 0 && st->size <= s.downloadServerSize &&
                  sameFileProvable && (serverTime < 0 || st->modifiedNs / 1000000000 >= serverTime);
    if (usable && !app.downloadFile.reopen(app.workFile(""), kept)) return;  // not ours: left alone
    if (!usable) {
        files::remove(app.workFile(kept));
        return;
    }
    // Sent, it may outlive a transfer that never starts: the next file's
    // RETR then goes after "REST 0" whatever the waits.
    s.downloadRestUsed = true;
    auto r = ask(downloadControlJob(app), "REST " + std::to_string(st->size));
    if (!r || (*r)[0] != '3') {
        // Refused: the whole file again (closing removes the partial file).
        app.downloadFile.close();
        return;
    }
    s.downloadPartPath = app.downloadFile.path();
    s.downloadResumeAt = st->size;
}

void noteUnverified(App& app) {
    auto& s = app.s;
    if (s.downloadProof.unverifiedNoted) return;
    s.downloadProof.unverifiedNoted = true;
    appendDownloadError(app, unverifiedText);
}

}  // namespace

bool prepareDownload(App& app) {
    auto& s = app.s;
    const auto job = downloadControlJob(app);
    const std::string& name = s.downloadTarget;
    std::int64_t serverTime = -1;
    if ((s.settleSeconds > 0 || s.resumeDownloads) && s.downloadProof.features.mdtm) {
        if (auto r = ask(job, "MDTM " + name)) serverTime = mdtmFromReply(*r).value_or(-1);
        if (downloadSessionEnding(app)) return false;
        // Modified too short a while before the listing: it may still be
        // being written.
        if (s.settleSeconds > 0 && serverTime >= 0 && serverTime > s.downloadListingTime - s.settleSeconds)
            return false;
    }
    if (s.downloadProof.features.size) {
        if (auto r = ask(job, "SIZE " + name)) s.downloadServerSize = sizeFromReply(*r).value_or(-1);
        if (downloadSessionEnding(app)) return false;
    }
    // Not the size the long listing showed: it changed since (in binary,
    // where both count the bytes stored).
    if (s.settleSeconds > 0 && s.downloadServerSize >= 0 && binaryType(app) && !app.w.ai_nlst.checked()) {
        const auto listed = s.downloadListedSizes.find(name);
        if (listed != s.downloadListedSizes.end() && listed->second != s.downloadServerSize) return false;
    }
    if (s.resumeDownloads) resumeIfKept(app, serverTime);
    return !downloadSessionEnding(app);
}

void startDownloadDigest(App& app) {
    auto& s = app.s;
    const bool hashed = s.verifyTransfers && binaryType(app) && s.downloadProof.plan.kind != platform::HashKind::None;
    s.downloadDigest.start(hashed ? s.downloadProof.plan.kind : platform::HashKind::None);
    if (!hashed || s.downloadResumeAt == 0) return;
    // A resumed file: the kept part is read once, the rest is hashed as it
    // comes.
    files::ReadFile kept;
    if (!kept.open(s.downloadPartPath)) return;
    for (;;) {
        const std::string piece = kept.read(1 << 20);
        if (piece.empty()) break;
        s.downloadDigest.update(piece);
    }
}

DownloadProof proveDownload(App& app) {
    auto& s = app.s;
    const auto job = downloadControlJob(app);
    const std::string& name = s.downloadFileName;
    const std::int64_t total = s.downloadBytes;
    // A resumed file is whole only at the server's size.
    if (s.downloadResumeAt > 0 && total != s.downloadServerSize) return DownloadProof::Fail;
    const bool askAgain = s.downloadProof.features.size && (s.settleSeconds > 0 || s.verifyTransfers);
    std::optional<std::int64_t> after;
    if (askAgain) {
        if (auto r = ask(job, "SIZE " + name)) after = sizeFromReply(*r);
        if (downloadSessionEnding(app)) return DownloadProof::Fail;
    }
    // Its size changed while it was fetched: it is still being written.
    if (s.settleSeconds > 0 && s.downloadServerSize >= 0 && after && *after != s.downloadServerSize)
        return DownloadProof::Leave;
    // A size the server told is never contradicted by a pass, whatever the
    // transfer announced (in binary, where both count the bytes stored).
    if (binaryType(app) && s.downloadServerSize >= 0 && total != s.downloadServerSize) return DownloadProof::Fail;
    if (!s.verifyTransfers) return DownloadProof::Pass;
    bool proven = false;
    if (s.downloadProof.features.size) {
        // In ASCII a server may refuse SIZE (it would have to convert the
        // whole file to tell it): a refusal then proves nothing either way.
        if (binaryType(app) && (s.downloadServerSize < 0 || !after)) return DownloadProof::Fail;
        if (s.downloadServerSize >= 0) {
            if (total != s.downloadServerSize || (after && *after != total)) return DownloadProof::Fail;
            proven = true;
        }
    }
    if (s.downloadDigest.kind() != platform::HashKind::None && checksumAskable(s.downloadProof.plan, name)) {
        const auto sum = askChecksum(job, s.downloadProof, name, total);
        if (!sum || *sum != s.downloadDigest.hex()) {
            if (sum) s.downloadPartialBad = true;
            return DownloadProof::Fail;
        }
        proven = true;
    }
    if (!proven) noteUnverified(app);
    return DownloadProof::Pass;
}

}  // namespace corvantel
