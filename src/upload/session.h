#pragma once
// One upload connection: a control session (app/control_session.h) and the
// file it is sending. The job (AppState's upload fields) holds what the
// sessions share: the local files to send and the names recorded.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/app_state.h"
#include "app/connections.h"
#include "app/control_session.h"

namespace corvantel {

struct UploadSession : ControlSession {
    UploadSession(App& app, platform::Endpoint& control, platform::Endpoint& data, platform::Timer& seconds,
                  platform::Timer& watchdog)
        : ControlSession(app, control, data, seconds, watchdog, "upload") {}
    ~UploadSession() override { strand.drop(); }

    const char* job() const override { return "upload"; }
    bool tlsOption() const override { return app.s.uploadTls; }
    bool sftpOption() const override { return app.s.uploadSftp; }
    const Transport& chooseTransport() const override;
    const AppState::SshLogin& sshOptions() const override { return app.s.uploadSsh; }
    std::string hostField() const override { return app.w.Text3.text(); }
    std::string userField() const override { return app.w.Text4.text(); }
    std::string passwordField() const override { return app.w.Text5.text(); }
    std::string directoryField() const override { return app.w.Text6.text(); }
    bool proofWanted() const override;
    const bool& running() const override;
    Task<> handleReply() override;
    Task<> loginStep() override;
    bool moving() const override;
    void errorRetry() override;
    std::string portField() const override;
    void installHandlers() override;
    void freshConnection() override;
    Task<> windDown(bool gone, Requeue& requeue) override;
    void closeFile() override;
    void logError(const std::string& text) override { appendUploadError(app, text); }
    void failLeftover(const std::string& name) override;

    // The dialogue's fields under their own names.
    int& uploadStep = step;
    std::string& uploadReply = reply;
    bool& uploadFailed = failed;
    std::int32_t& uploadSocketError = socketError;
    std::int64_t& uploadWaitSeconds = waitSeconds;
    std::int64_t& uploadIdleTicks = idleTicks;
    std::string& uploadPortArgument = portArgument;
    std::string& uploadFileName = fileName;
    std::string& uploadDataBuffer = dataBuffer;
    bool& uploadPwdSent = pwdSent;

    // The local file being sent.
    platform::files::ReadFile file;

    bool uploadTransferPhase = false;
    std::int64_t uploadFileLength = 0;
    std::string uploadReadBuffer;
    std::string uploadSendPiece;
    // Bytes of the current file read from disk and counted as sent so far.
    std::int64_t uploadBytesRead = 0;
    std::int64_t uploadBytesSent = 0;
    bool uploadEndOfFile = false;
    // A file was started (its STOR sent) and has no verdict yet.
    bool uploadFileStarted = false;
    // A file whose last piece went out and whose verdict waits for the
    // server's reply that ends its transfer.
    bool uploadVerdictPending = false;
    // A verdict has been logged for the current file.
    bool uploadVerdictGiven = false;
    std::string uploadPendingName;
    std::int64_t uploadPendingLength = 0;
    // Files whose commands have begun in this run of the program.
    std::int64_t uploadFileStarts = 0;
    // The store command of the file being sent.
    std::string uploadStoreCommand;
    // The file's size and time when it was opened.
    platform::files::Stamp uploadOpenStamp;
    // Over SFTP, the temporary copy being written now (empty: none), for a
    // shutdown to keep it to be resumed.
    std::string uploadSftpWriting;
    // Over SFTP, the file this connection sends next when it was claimed
    // and opened before the current file's close (so that its open went out
    // with that close): its local name and file, and its name on the
    // server. Empty: none.
    std::string uploadSftpNext, uploadSftpNextTarget;
    platform::files::ReadFile uploadSftpNextFile;
    // The server refused the transfer type before the file being started.
    bool uploadTypeRefused = false;
    // The name the file takes on the server (its date stamp included), and
    // with uploads under a temporary name the name it is stored under first.
    std::string uploadTarget, uploadTempTarget;
    // The temporary copy's store went out and nothing has yet decided
    // whether the copy is deleted or kept.
    bool uploadTempStored = false;
    // A resumed upload: the bytes of the file the server held already.
    std::int64_t uploadResumeFrom = 0;
};

// The upload job: its sessions (the first connection's and the further
// ones), and what they share: the local files to send and the position in
// them, the names recorded, and what is learnt across its sessions. Each
// connection's own dialogue is its UploadSession.
class UploadSessions : public SessionGroup {
public:
    using SessionGroup::SessionGroup;

    std::int64_t uploadFileIndex = 0;
    // The local files matching the pattern when the run's sending began,
    // in name order (File2 shows them).
    std::vector<std::string> uploadFiles;
    std::int64_t uploadFileCount() const { return static_cast<std::int64_t>(uploadFiles.size()); }
    NameRecord uploadedNames;
    std::unordered_map<std::string, std::int64_t> uploadListedSizes;
    // Local files whose time lies ahead of the clock (see the download's).
    std::unordered_map<std::string, Unsettled> uploadAheadSeen;
    bool uploadClocksNoted = false;
    // Files left without their verdict by taken-over sessions (see the
    // download job's).
    std::vector<std::pair<std::string, std::int64_t>> uploadOwed;
    // Uploads under a temporary name: the temporary copies that may be left
    // on the server and are to be deleted; those kept to be resumed, with
    // the local file's size and time when its copy was cut (read once a
    // job run from their record); whether the error log has said that the
    // server renames nothing.
    std::vector<std::string> uploadTempLeft;
    // Over SFTP, the paths of such copies, removed at the next login.
    std::vector<std::string> uploadSftpTempLeft;
    // (append: the server refused REST before STOR on it; APPE continues it.)
    struct KeptCopy {
        platform::files::Stamp local;
        bool append = false;
    };
    std::map<std::string, KeptCopy> uploadTempKept;
    bool uploadTempKeptRead = false;
    bool uploadRenameNoted = false;

    UploadSession& operator[](std::size_t k) { return static_cast<UploadSession&>(*all[k]); }

protected:
    std::unique_ptr<ControlSession> make(platform::Endpoint& control, platform::Endpoint& data,
                                         platform::Timer& seconds, platform::Timer& watchdog) override {
        return std::make_unique<UploadSession>(app_, control, data, seconds, watchdog);
    }
};
UploadSessions& uploadSessions(App& app);

// A new dialogue: the session's state as a fresh connection has it.
void resetUploadDialogue(UploadSession& u);

// The job's session (the first connection's).
UploadSession& uploadSession(App& app);
const UploadSession& uploadSession(const App& app);


}  // namespace corvantel
