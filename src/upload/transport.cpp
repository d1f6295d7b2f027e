// The upload job over each transport: over FTP each file is begun here and
// the dialogue sends it as the server's replies come; over SFTP each file
// is one sequence of calls.

#include "app/connections.h"
#include "app/transport.h"
#include "upload/sending.h"
#include "upload/session.h"
#include "upload/sftp_upload.h"
#include "upload/temp_name.h"

namespace corvantel {

namespace {

struct FtpUpload final : FtpTransport {
    Task<> start(ControlSession& c) const override {
        auto& u = static_cast<UploadSession&>(c);
        open(u);
        co_await u.strand.until(
            [&] { return u.uploadStep >= 12 || connectionGone(u) || u.app.s.shuttingDown; });
    }
    Task<> takeFiles(ControlSession& c) const override {
        auto& u = static_cast<UploadSession&>(c);
        auto& job = uploadSessions(u.app);
        u.uploadStep = 18;
        co_await uploadNextFile(u);
        // The first session's driver waits for the list's end itself.
        if (!u.helper) co_return;
        // Over once back between files with nothing left (or told to stop).
        co_await u.strand.until([&] {
            return ((job.uploadFileIndex > job.uploadFileCount() || job.requeue.stop) && !u.uploadVerdictPending &&
                    u.uploadStep == 18) ||
                   connectionGone(u) || u.app.s.shuttingDown;
        });
    }
    // Temporary copies left by failed uploads go before the connection does
    // (those of cut uploads stay, with resume, to be continued).
    Task<> finish(ControlSession& c) const override {
        auto& u = static_cast<UploadSession&>(c);
        if (u.app.s.uploadTempName) co_await clearLeftovers(u);
    }
};

struct SftpUpload final : SftpTransport {
    Task<> start(ControlSession& c) const override { co_await sftpUploadLogin(static_cast<UploadSession&>(c)); }
    Task<> takeFiles(ControlSession& c) const override {
        auto& u = static_cast<UploadSession&>(c);
        u.uploadStep = 18;
        co_await sftpUploadFiles(u);
    }
};

}  // namespace

const Transport& UploadSession::chooseTransport() const {
    static const FtpUpload ftp;
    static const SftpUpload sftp;
    if (sftpOption()) return sftp;
    return ftp;
}

}  // namespace corvantel
