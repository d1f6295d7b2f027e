// The download job over each transport: over FTP the dialogue lists and
// fetches as the server's replies come; over SFTP the session's steps are
// one sequence of calls.

#include "app/connections.h"
#include "app/transport.h"
#include "download/session.h"
#include "download/sftp_download.h"

namespace corvantel {

namespace {

bool workOverOrGone(const DownloadSession& d) {
    return d.downloadOver || connectionGone(d) || d.app.s.shuttingDown;
}

struct FtpDownload final : FtpTransport {
    Task<> start(ControlSession& c) const override {
        auto& d = static_cast<DownloadSession&>(c);
        open(d);
        co_await d.strand.until([&] { return workOverOrGone(d); });
    }
    Task<> takeFiles(ControlSession& c) const override {
        auto& d = static_cast<DownloadSession&>(c);
        co_await d.strand.until([&] { return workOverOrGone(d); });
    }
};

struct SftpDownload final : SftpTransport {
    Task<> start(ControlSession& c) const override { co_await sftpDownloadRun(static_cast<DownloadSession&>(c)); }
    Task<> takeFiles(ControlSession& c) const override { co_await sftpTakeFiles(static_cast<DownloadSession&>(c)); }
};

}  // namespace

const Transport& DownloadSession::chooseTransport() const {
    static const FtpDownload ftp;
    static const SftpDownload sftp;
    if (sftpOption()) return sftp;
    return ftp;
}

}  // namespace corvantel
