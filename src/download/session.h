#pragma once
// One download connection: a control session (app/control_session.h) and
// the file it is fetching. The job (AppState's download fields) holds what
// the sessions share: the listing, the names taken and recorded.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/app_state.h"
#include "app/connections.h"
#include "app/control_session.h"

namespace corvantel {

struct DownloadSession : ControlSession {
    DownloadSession(App& app, platform::Endpoint& control, platform::Endpoint& data, platform::Timer& seconds,
                    platform::Timer& watchdog)
        : ControlSession(app, control, data, seconds, watchdog, "download") {}
    ~DownloadSession() override { strand.drop(); }

    const char* job() const override { return "download"; }
    bool tlsOption() const override { return app.s.downloadTls; }
    bool sftpOption() const override { return app.s.downloadSftp; }
    const Transport& chooseTransport() const override;
    const AppState::SshLogin& sshOptions() const override { return app.s.downloadSsh; }
    std::string hostField() const override { return app.w.Text1.text(); }
    std::string userField() const override { return app.w.fText3.text(); }
    std::string passwordField() const override { return app.w.fText4.text(); }
    std::string directoryField() const override { return app.w.Text2.text(); }
    bool proofWanted() const override;
    // A refused login ends the download work (and the session fails).
    void loginRefused() override {
        failed = true;
        downloadTarget = "done";
        downloadOver = true;
    }
    const bool& running() const override;
    Task<> handleReply() override;
    Task<> loginStep() override;
    void repliesCame() override;
    bool workOver() const override;
    bool moving() const override;
    void errorRetry() override;
    std::string portField() const override;
    void installHandlers() override;
    void watchdogFired() override;
    void freshConnection() override;
    Task<> windDown(bool gone, Requeue& requeue) override;
    void closeFile() override;
    void logError(const std::string& text) override { appendDownloadError(app, text); }
    void failLeftover(const std::string& name) override;

    // The dialogue's fields under their own names.
    int& downloadStep = step;
    std::string& downloadReply = reply;
    bool& downloadFailed = failed;
    std::int32_t& downloadSocketError = socketError;
    std::int64_t& downloadWaitSeconds = waitSeconds;
    std::int64_t& downloadIdleTicks = idleTicks;
    std::string& downloadPortArgument = portArgument;
    std::string& downloadFileName = fileName;
    std::string& downloadDataBuffer = dataBuffer;
    bool& stepCommandSent = pwdSent;

    // The file being written.
    platform::files::WriteFile file;
    // The last judged file passed (the driver's closing DELE needs it).
    bool downloadLastPassed = false;

    bool downloadReplySeen = false;
    std::string downloadTarget = "notdone";
    // The download work is over (no file left, a refused login, or the
    // session taken over). Kept apart from downloadTarget, which holds the
    // names a server lists: a file called "done" ends nothing.
    bool downloadOver = false;
    bool downloadDataIsFile = false;
    bool downloadNextDue = true;
    // A file was started (its RETR sent) and has no verdict yet.
    bool downloadVerdictPending = false;
    // LIST mode: the listing with the pattern brought nothing, so the plain
    // listing was asked for and the pattern is applied here.
    bool downloadListFallback = false;
    // The size the current transfer's preliminary reply stated, and the
    // size its bytes must come to (-1: none to check; -2: none stated while
    // "File Size Exists" asks for one). In ASCII type the stated size is the
    // one on the server's disk and only shown.
    std::int64_t downloadExpectedSize = -1;
    std::int64_t downloadStatedSize = -1;
    bool downloadFileGood = false;
    // The current download cannot pass whatever its size: its local file
    // could not be created or written, its data connection was broken, or
    // the server ended its transfer with a 4xx or 5xx reply.
    bool downloadFileSpoiled = false;
    // Bytes received of the current file (shown in fText6).
    std::int64_t downloadBytes = 0;
    // The local name of the current download (with its date stamp), and the
    // file its bytes go to until it has passed.
    std::string downloadLocalName;
    std::string downloadPartPath;
    // The current file: its size on the server before RETR (-1: unknown),
    // and the bytes a kept partial file already held (the transfer resumed
    // there).
    std::int64_t downloadServerSize = -1;
    std::int64_t downloadResumeAt = 0;
    // A resume's REST was sent since the last "REST 0".
    bool downloadRestUsed = false;
    // Its local copy is known not to be a beginning of the server's copy
    // (its checksum differed): it is never kept to be resumed.
    bool downloadPartialBad = false;
    // The current file's time on the server (MDTM, -1: unknown), and
    // whether its transfer provably began where REST asked (its preliminary
    // reply stated exactly the rest).
    std::int64_t downloadServerTime = -1;
    bool downloadRestProven = false;
};

// The download job: its sessions (the first connection's and the further
// ones), and what they share: the listing, the position in it, the names
// taken and recorded, and what is learnt across its sessions. Each
// connection's own dialogue is its DownloadSession.
class DownloadSessions : public SessionGroup {
public:
    using SessionGroup::SessionGroup;

    std::int64_t downloadNameCursor = 0;
    std::int64_t downloadNameScanStart = 0;
    std::int64_t listEntryIndex = 0;
    std::int64_t listingLastIndex = -1;
    NameRecord downloadedNames;
    // Names chosen in this session: a name listed twice is fetched once.
    NameRecord downloadSessionNames;
    // Listed names refused as unsafe in this session: those given a line of
    // their own in dl_file_size.log, and those past that limit, which
    // share one line when the session ends.
    std::int64_t downloadUnsafeLogged = 0;
    std::int64_t downloadUnsafeUnlogged = 0;
    // The listing the first session received (at most maxListingBytes;
    // fText5 shows it), and in LIST mode the names its lines hold (Combo1
    // shows them).
    std::string downloadListing;
    std::vector<std::string> downloadEntries;
    // When the listing ended (seconds since 1970, UTC), and the sizes a
    // long listing showed, for settled files.
    std::int64_t downloadListingTime = 0;
    std::unordered_map<std::string, std::int64_t> downloadListedSizes;
    // Resuming is given up for the rest of the session (a server that
    // answered REST and sent more than the file).
    bool downloadResumeOff = false;
    // The kept partial files of the work directory, read once per session
    // (empty until then).
    bool downloadPartsRead = false;
    std::vector<std::string> downloadKeptParts;
    // Files whose server time lies ahead of the listing. They are taken once
    // size and time have stayed the same for the settle interval. The error
    // log says once per session that the clocks differ.
    std::unordered_map<std::string, Unsettled> downloadAheadSeen;
    bool downloadClocksNoted = false;
    // Files left without their verdict by taken-over sessions (name and
    // size), for a later session of the job run to judge; those still owed
    // when the run ends fail then.
    std::vector<std::pair<std::string, std::int64_t>> downloadOwed;
    // Over SFTP: the listing with its attributes, and the next entry to
    // look at (every connection takes from it).
    std::vector<platform::SftpEntry> sftpListing;
    std::size_t sftpNext = 0;
    // The first session has its listing (the further connections, which log
    // in while it lists, wait for it).
    bool sftpListed = false;

    DownloadSession& operator[](std::size_t k) { return static_cast<DownloadSession&>(*all[k]); }

protected:
    std::unique_ptr<ControlSession> make(platform::Endpoint& control, platform::Endpoint& data,
                                         platform::Timer& seconds, platform::Timer& watchdog) override {
        return std::make_unique<DownloadSession>(app_, control, data, seconds, watchdog);
    }
};
DownloadSessions& downloadSessions(App& app);

// A new dialogue: the session's state as a fresh connection has it.
void resetDownloadDialogue(DownloadSession& d);

// The job's session (the first connection's).
DownloadSession& downloadSession(App& app);
const DownloadSession& downloadSession(const App& app);

// LIST mode: the pause for each matching entry of the listing (none with
// quick waits).
Task<> downloadEntryPause(DownloadSession& d);
// Quick waits: whether the file is provably done (its data connection is
// over, and every byte announced has come, or no size was announced).
bool downloadFileProvablyDone(const DownloadSession& d);

}  // namespace corvantel
