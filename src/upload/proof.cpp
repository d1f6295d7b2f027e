#include "upload/proof.h"

#include "app/app_state.h"
#include "upload/session.h"
#include "app/verify.h"
#include "app/waits.h"

namespace corvantel {

namespace files = platform::files;

// (A cut upload is continued only where FEAT tells how: REST STREAM.)
bool uploadProofWanted(const App& app) {
    return app.s.verifyTransfers || app.s.settleSeconds > 0 || (app.s.uploadTempName && app.s.resumeDownloads);
}

void noteListedSizes(App& app) {
    auto& s = app.s;
    uploadSessions(app).uploadListedSizes.clear();
    if (s.settleSeconds <= 0) return;
    for (const auto& name : uploadSessions(app).uploadFiles) {
        if (auto st = files::stamp(app.workFile(name))) uploadSessions(app).uploadListedSizes[name] = st->size;
    }
}

bool uploadSettled(App& app, const std::string& name) {
    auto& s = app.s;
    if (s.settleSeconds <= 0) return true;
    const auto st = files::stamp(app.workFile(name));
    if (!st) return true;  // gone: it fails as it does today
    const std::int64_t now = app.plat.clock().utcSeconds();
    const std::int64_t age = now - st->modifiedNs / 1000000000;
    if (age < 0) {
        // A time ahead of the clock (a camera whose clock runs fast) proves
        // nothing: the file is settled once its size and time have stayed
        // the same for the settle interval.
        if (!uploadSessions(app).uploadClocksNoted) {
            uploadSessions(app).uploadClocksNoted = true;
            appendUploadNote(app, localClocksDifferText);
        }
        if (uploadSessions(app).uploadAheadSeen.size() > 10000) uploadSessions(app).uploadAheadSeen.clear();
        const auto it = uploadSessions(app).uploadAheadSeen.find(name);
        if (it == uploadSessions(app).uploadAheadSeen.end() || it->second.size != st->size || it->second.time != st->modifiedNs) {
            uploadSessions(app).uploadAheadSeen[name] = {st->size, st->modifiedNs, now};
            return false;
        }
        if (now - it->second.since < s.settleSeconds) return false;
    } else if (age < s.settleSeconds) {
        return false;
    }
    const auto listed = uploadSessions(app).uploadListedSizes.find(name);
    return listed == uploadSessions(app).uploadListedSizes.end() || listed->second == st->size;
}

void startUploadProof(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    // The file as it was opened: a name swapped since is not what is sent.
    u.uploadOpenStamp = u.file.isOpen() ? u.file.stamp() : files::Stamp{-1, -1};
    const bool hashed = s.verifyTransfers && s.transferType == "TYPE I" &&
                        u.proof.plan.kind != platform::HashKind::None;
    u.digest.start(hashed ? u.proof.plan.kind : platform::HashKind::None);
}

// A failed proof, with the cause its verdict names.
static bool failBecause(UploadSession& u, std::string cause) {
    u.failCause = std::move(cause);
    return false;
}

Task<bool> proveUpload(UploadSession& u) {
    App& app = u.app;
    auto& s = app.s;
    // The file was written to (or removed) while it was sent: what the
    // server holds is not the file as it stands, and it is kept to be sent
    // again.
    const auto now = files::stamp(app.workFile(u.uploadFileName));
    if (!now || !(*now == u.uploadOpenStamp)) co_return failBecause(u, "local file changed while it was sent");
    // A resumed copy is always checked for its size: a server that took
    // REST and wrote the rest at another place is found out here.
    const bool resumed = u.uploadResumeFrom > 0;
    if (!s.verifyTransfers && !resumed) co_return true;
    const auto job = controlJob(u);
    // The name the server stored it under (with its date stamp, if any).
    const std::string stored = u.uploadStoreCommand.size() > 5 ? u.uploadStoreCommand.substr(5) : u.uploadFileName;
    const bool binary = s.transferType == "TYPE I";
    bool proven = false;
    // In ASCII the server's copy differs from the local file by its line
    // ends: neither its size nor its checksum can prove it.
    if (binary && (u.proof.features.size || resumed)) {
        const auto r = co_await ask(job, "SIZE " + stored);
        const auto size = r ? sizeFromReply(*r) : std::nullopt;
        if (!size) co_return failBecause(u, "size not confirmed by the server");
        if (*size != u.uploadFileLength)
            co_return failBecause(u, "size differs on the server: " + std::to_string(*size) + " bytes stored, " +
                                        std::to_string(u.uploadFileLength) + " sent");
        proven = true;
    }
    if (binary && u.digest.kind() != platform::HashKind::None && checksumAskable(u.proof.plan, stored)) {
        const auto sum = co_await askChecksum(job, u.proof, stored, u.uploadFileLength);
        if (!sum || *sum != u.digest.hex())
            co_return failBecause(u, sum ? "checksum mismatch" : "checksum not confirmed by the server");
        proven = true;
    }
    if (!proven && !u.proof.unverifiedNoted) {
        u.proof.unverifiedNoted = true;
        appendUploadNote(app, unverifiedText);
    }
    co_return true;
}

}  // namespace corvantel
