#include "download/sftp_download.h"

#include <algorithm>

#include "app/app_state.h"
#include "app/partial_names.h"
#include "app/sftp_job.h"
#include "app/text.h"
#include "download/proof.h"
#include "download/records.h"
#include "download/retrieval.h"
#include "download/selection.h"
#include "download/session.h"

namespace corvantel {

using platform::SftpEntry;
using platform::SftpStatus;
namespace fmt = platform::fmt;

namespace {

// At most this much of the listing is shown in its box.
constexpr std::size_t shownListingBytes = 64 * 1024;

// What a listed file holds when the read begins, for the checks after it.
struct Listed {
    std::string path;
    std::int64_t size, time;
};

// Settled files only: whether the file is to be taken now (its time is
// older than the settle interval, or a time ahead of the listing has
// stayed the same for it).
bool settled(DownloadSession& d, const SftpEntry& e) {
    auto& s = d.app.s;
    const std::int64_t listedAt = downloadSessions(d.app).downloadListingTime;
    if (s.settleSeconds <= 0 || e.mtime < 0) return true;
    if (e.mtime > listedAt) return settledAhead(d, e.mtime);
    return e.mtime <= listedAt - s.settleSeconds;
}

// With resume: a kept part of this copy of the file (the listing's time
// tells one copy from another) is opened to be continued.
void resumeKept(DownloadSession& d, const Listed& f) {
    if (!d.app.s.resumeDownloads) return;
    const std::int64_t have = openKeptPart(d, f.time, f.time >= 0);
    if (have <= 0) return;
    d.downloadPartPath = d.file.path();
    d.downloadResumeAt = have;
    d.downloadRestProven = true;
}

// Reads the file to its end into the partial file. True when the server
// said the file ended; false when it refused or failed a read (the file
// cannot pass) or the session ended.
Task<bool> readWhole(DownloadSession& d, const Listed& f, const std::string& ahead) {
    App& app = d.app;
    auto& w = app.w;
    const std::int64_t from = d.downloadResumeAt;
    const SftpCall open = [&](auto& c, auto done) {
        c.expectSize(f.size);
        c.openAhead(ahead);
        c.openRead(f.path, from, done);
    };
    const std::string openText = "open-read " + f.path;
    auto r = co_await sftpCall(d, open, openText);
    if (!sftpStillUp(d, r)) co_return false;
    if (r->status != SftpStatus::Ok) {
        d.failCause = r->status == SftpStatus::NoSuchFile ? "gone from the server" : "read refused";
        co_return false;
    }
    for (;;) {
        const SftpCall next = [](auto& c, auto done) { c.read(done); };
        const std::string nextText = "read";
        r = co_await sftpCall(d, next, nextText);
        if (!sftpStillUp(d, r)) co_return false;
        if (r->status == SftpStatus::Eof) break;
        if (r->status != SftpStatus::Ok || r->bytes.empty()) {
            d.downloadFileSpoiled = true;
            break;
        }
        d.downloadBytes += static_cast<std::int64_t>(r->bytes.size());
        if (!d.file.isOpen() || !d.file.write(r->bytes)) d.downloadFileSpoiled = true;
        w.fText6.setText(std::to_string(d.downloadBytes));
        if (d.downloadStatedSize > 0)
            w.Text13.setText(std::to_string(d.downloadBytes * 100 / d.downloadStatedSize) + " %");
        // More than the listing said: not the copy that was listed.
        if (d.downloadExpectedSize >= 0 && d.downloadBytes > d.downloadExpectedSize) d.downloadFileSpoiled = true;
        if (d.downloadFileSpoiled) break;
    }
    const bool ended = r->status == SftpStatus::Eof && !d.downloadFileSpoiled;
    const SftpCall closing = [](auto& c, auto done) { c.closeFile(done); };
    const std::string closingText = "close " + f.path;
    r = co_await sftpCall(d, closing, closingText);
    if (!sftpStillUp(d, r)) co_return false;
    co_return ended;
}

// The rule of a pass over SFTP: the server said the file ended, the bytes
// came to the size the listing stated, and the local copy is written (on
// disk before a delete on the server). With verify (or settle) the server's
// size and time are asked again and must be unchanged (verify also needs
// them told). A file that changed while it came is left for a later run
// with settled files only.
Task<Judged> judgeRead(DownloadSession& d, const Listed& f, bool ended) {
    App& app = d.app;
    auto& s = app.s;
    const bool sizeOk = f.size < 0 || d.downloadBytes == f.size;
    const bool written = downloadWritten(d);
    bool pass = ended && sizeOk && written && !d.downloadFileSpoiled;
    bool changed = ended && !sizeOk;
    // Bytes that end elsewhere than the listed size, or run past it, are not
    // a beginning of the listed copy: never kept to be resumed.
    if (changed || (f.size >= 0 && d.downloadBytes > f.size)) d.downloadPartialBad = true;
    if (pass && (s.verifyTransfers || s.settleSeconds > 0)) {
        const SftpCall statAgain = [&](auto& c, auto done) { c.stat(f.path, done); };
        const std::string statAgainText = "stat " + f.path;
        const auto r = co_await sftpCall(d, statAgain, statAgainText);
        if (!sftpStillUp(d, r)) co_return Judged::Fail;
        if (r->status != SftpStatus::Ok) {
            // Not told: verify cannot prove the file (settle alone judges
            // by the read, which ended at the listed size).
            if (s.verifyTransfers) {
                pass = false;
                d.failCause = "size not confirmed by the server";
            }
        } else if (r->attributes.size != f.size || r->attributes.mtime != f.time) {
            changed = true;
            pass = false;
            d.downloadPartialBad = true;
            d.failCause = "changed on the server while it was read";
        }
    }
    co_return concludeDownload(d, pass, !pass && changed && written && s.settleSeconds > 0);
}

// ahead: the file likely fetched next (its open may go out with this one's
// reads; empty: none).
Task<> fetch(DownloadSession& d, const SftpEntry& e, const std::string& folder, const std::string& ahead = {}) {
    App& app = d.app;
    auto& s = app.s;
    discardPartialDownload(d);
    const Listed f{sftpPath(folder, e.name), e.size, e.mtime};
    d.downloadTarget = d.downloadFileName = e.name;
    d.downloadLocalName = downloadLocalName(app, e.name);
    d.downloadServerSize = e.size;
    d.downloadServerTime = e.mtime;
    d.downloadResumeAt = 0;
    d.downloadPartialBad = d.downloadRestProven = false;
    d.downloadExpectedSize = d.downloadStatedSize = e.size;
    d.failCause.clear();
    resumeKept(d, f);
    beginDownloadFile(d);
    const bool ended = co_await readWhole(d, f, ahead);
    // A session lost or taken over judges nothing on what came so far: its
    // driver and retries decide.
    if (d.failed || sessionEnding(d)) co_return;
    const Judged j = co_await judgeRead(d, f, ended);
    if (d.failed || sessionEnding(d)) co_return;
    const bool passed = recordJudged(d, j);
    // Deleted on the server only once its whole copy is on disk here.
    if (passed && s.deleteAfterDownload) {
        const SftpCall removal = [&](auto& c, auto done) { c.remove(f.path, done); };
        const std::string removalText = "remove " + f.path;
        const auto r = co_await sftpCall(d, removal, removalText);
        sftpStillUp(d, r);
    }
    d.downloadLastPassed = false;
}

// The path of the listing's next file that this connection would likely
// take (no file is taken by looking): a hint for opening it ahead.
std::string likelyNext(App& app, const std::string& folder) {
    auto& job = downloadSessions(app);
    const auto& s = app.s;
    for (std::size_t k = job.sftpNext; k < job.sftpListing.size() && k < job.sftpNext + 8; ++k) {
        const SftpEntry& e = job.sftpListing[k];
        if (!e.regular || namesNoFile(e.name) || !patternTakes(app.w.Text7.text(), e.name) ||
            job.downloadSessionNames.contains(e.name) || (s.downloadDupeCheck && job.downloadedNames.contains(e.name)))
            continue;
        return sftpPath(folder, e.name);
    }
    return {};
}

}  // namespace

Task<> sftpTakeFiles(DownloadSession& d) {
    App& app = d.app;
    auto& job = downloadSessions(app);
    const std::string folder = app.w.Text2.text();
    co_await d.strand.until(
        [&] { return job.sftpListed || job.requeue.stop || d.failed || sessionEnding(d) || app.s.shuttingDown; });
    for (;;) {
        if (d.failed || sessionEnding(d)) co_return;
        // A file a lost connection gave back comes first.
        if (!job.requeue.names.empty()) {
            const std::string name = job.requeue.names.front();
            job.requeue.names.pop_front();
            const auto e = std::find_if(job.sftpListing.begin(), job.sftpListing.end(),
                                        [&](const SftpEntry& x) { return x.name == name; });
            if (e == job.sftpListing.end()) continue;
            d.requeuedTaken = name;
            const SftpEntry entry = *e;
            co_await fetch(d, entry, folder);
            continue;
        }
        if ((d.helper && job.requeue.stop) || job.sftpNext >= job.sftpListing.size()) co_return;
        const SftpEntry e = job.sftpListing[job.sftpNext++];
        // Only regular files the job's pattern takes, each once.
        if (!e.regular || !wantedName(app, e.name)) continue;
        d.downloadTarget = d.downloadFileName = e.name;
        if (!safeLocalName(e.name) || isOwnFile(app, downloadLocalName(app, e.name))) {
            d.downloadExpectedSize = -1;
            recordUnsafeName(d);
            continue;
        }
        d.downloadServerSize = e.size;
        if (!settled(d, e)) continue;
        const std::string ahead = likelyNext(app, folder);
        co_await fetch(d, e, folder, ahead);
    }
}

Task<> sftpDownloadRun(DownloadSession& d) {
    App& app = d.app;
    auto& w = app.w;
    auto& job = downloadSessions(app);
    job.sftpListed = false;
    if (!co_await sftpLogin(d)) co_return;
    // The further connections log in while this one lists.
    d.downloadStep = 4;
    startFurtherConnections(job);
    const std::string folder = w.Text2.text();
    const SftpCall listing = [&](auto& c, auto done) { c.list(folder, done); };
    const std::string listingText = "list " + folder;
    const auto r = co_await sftpCall(d, listing, listingText);
    if (!sftpStillUp(d, r)) co_return;
    job.downloadListingTime = app.plat.clock().utcSeconds();
    // A folder that cannot be read lists nothing, as a refused listing does.
    job.sftpListing.clear();
    job.sftpNext = 0;
    if (r->status == SftpStatus::Ok) job.sftpListing = r->entries;
    job.downloadListing.clear();
    job.downloadEntries.clear();
    job.downloadListedSizes.clear();
    for (const auto& e : job.sftpListing) {
        if (job.downloadListing.size() < shownListingBytes) job.downloadListing += e.name + "\r\n";
        if (!e.regular) continue;
        job.downloadEntries.push_back(e.name);
        if (e.size >= 0) job.downloadListedSizes[e.name] = e.size;
    }
    w.fText5.setText(job.downloadListing);
    w.Combo1.setItems(job.downloadEntries);
    d.downloadStep = 12;
    job.sftpListed = true;
    co_await sftpTakeFiles(d);
    if (d.failed || sessionEnding(d)) co_return;
    d.downloadStep = 17;
    d.downloadTarget = "done";
    d.downloadOver = true;
}

}  // namespace corvantel
