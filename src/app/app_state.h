#pragma once
// The application: one process-wide record of flags, counters and texts that
// every subsystem reads and writes, the main window model, the dialogs, and
// start-up and shut-down.
//
// Everything runs on the one event loop. A job's steps wait on its strand,
// and a step started while another of the job waits (a reply that came
// meanwhile) runs first: the flags and step values below are what keep such
// a step from starting a second session or sending a second command.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/platform.h"
#include "platform/window.h"
#include "app/events.h"
#include "app/ftp_reply.h"
#include "app/ftps.h"
#include "app/strand.h"
#include "app/verify.h"
#include "platform/digest.h"

namespace corvantel {

// The two constants of the start-up defaults.
inline constexpr const char* defaultHostName = "ftp.gnu.org";
inline constexpr const char* defaultAnonymousPassword = "corvantel@example.com";

inline constexpr const char* idleCaption = "Ftp Corvantel - Idle";

// Names already transferred, as the duplicate checks look them up: whole
// names (a recorded "ab.txt" says nothing about "b.txt"), each looked up in
// constant time however long the record grows.
class NameRecord {
public:
    bool empty() const { return names_.empty(); }
    std::size_t size() const { return names_.size(); }
    bool contains(const std::string& name) const { return names_.count(name) != 0; }
    void add(const std::string& name) { names_.insert(name); }
    void clear() { names_.clear(); }

private:
    std::unordered_set<std::string> names_;
};

// What a watchdog or the error-retry step asked for when it took a session
// over. The decision is taken once the taken-over driver has returned.
enum class Takeover { None, Watchdog, ErrorRetry };

// A job's sessions, made and owned for the application by the job (which
// the application does not know): after every event their waits are
// polled.
class JobSessions {
public:
    virtual ~JobSessions() = default;
    virtual void poll() = 0;
};

// A file whose time lies ahead of the clock: its size and time first
// seen, and when.
struct Unsettled {
    std::int64_t size, time, since;
};

struct AppState {
    // Options and shell.
    std::string transferType = "TYPE I";
    bool fileSizeCheck = false;
    bool deleteAfterDownload = false;
    bool deleteAfterUpload = false;
    bool downloadDupeCheck = true;
    bool uploadDupeCheck = true;
    std::string workPath;
    bool recallPassword = false;
    bool shuttingDown = false;
    // Waits end as soon as what they wait for has provably happened.
    bool quickWaits = false;
    // Proven transfers (each off by default). Verify: every file is checked
    // with the server (SIZE, and a checksum where offered). Settle: files
    // modified less than settleSeconds ago, or whose size changes while they
    // are taken, are left for a later run (0: off; settleChoice is what the
    // menu tick turns on). Resume: a cut download keeps its partial file and
    // the next attempt fetches only the rest.
    bool verifyTransfers = false;
    std::int64_t settleSeconds = 0, settleChoice = 60;
    bool resumeDownloads = false;
    // Uploads under a temporary name: each file is stored as its name plus
    // uploadTempSuffix and renamed into place once proven (with resume, a
    // cut upload's temporary copy is continued). With settled files only,
    // the download job passes over names ending in the suffix.
    bool uploadTempName = false;
    std::string uploadTempSuffix = ".part";
    // Connections per job (1 to 8): files are moved over that many
    // connections side by side.
    std::int64_t parallelConnections = 1, parallelChoice = 4;
    // Passive mode: the program opens every data connection itself.
    bool passiveMode = false;
    // Active mode behind NAT: the address announced by PORT/EPRT instead of
    // the control connection's local address (empty: that address).
    std::string portAddress;
    // Explicit FTPS per job, and a CA file trusted besides the system's.
    bool downloadTls = false, uploadTls = false;
    std::string tlsCaFile;
    // SFTP per job instead of FTP (a job uses FTPS or SFTP, not both), and
    // what its SSH login takes besides the password field: a private key
    // and its passphrase, and a pinned fingerprint of the server's key
    // ("SHA256:..."). The server's key is always checked: against the pins
    // and the known-hosts files (none given: the user's and the system's);
    // with acceptNewHostKeys an unknown key (never a changed one) is added
    // to the first file and taken.
    bool downloadSftp = false, uploadSftp = false;
    struct SshLogin {
        std::string keyFile, keyPassphrase, hostKey;
    };
    SshLogin downloadSsh, uploadSsh;
    std::vector<std::string> knownHostsFiles;
    bool acceptNewHostKeys = false;
    bool exitNow = false;

    // Schedule.
    std::string downloadHour = "1", downloadAmPm = "AM";
    std::string uploadHour = "3", uploadAmPm = "AM";
    std::string downloadLastRunDate = "20000101", uploadLastRunDate = "20000101";
    std::string downloadActiveText = "InActive", uploadActiveText = "InActive";
    bool downloadRunning = false, uploadRunning = false;
    // A job started by its minute clock is running (its clock's ticks wait).
    bool downloadClockBusy = false, uploadClockBusy = false;
    bool sessionAborting = false;
    std::string transferCaptionPrefix;
    std::int64_t downloadRetryCount = 0, uploadRetryCount = 0;
    std::int64_t downloadStartCursor = 0;
    // NLST mode: the name at downloadStartCursor when it was set (empty: the
    // listing's start), and whether the next session starts after it. A
    // listing that changed meanwhile (files deleted, added) is searched for
    // the name instead of trusting the position.
    std::string downloadStartName;
    bool downloadStartAfter = false;
    std::int64_t downloadStartIndex = 0, uploadStartIndex = 0;
    bool timeDialogMode = true;
    std::int64_t uploadTakeoverIndex = 0;
    // The error that led to the take-over hit a file being sent.
    bool uploadTakeoverHadFile = false;

    // Outcome of this run of the program, for the exit status.
    std::int64_t failedSessions = 0;
    std::int64_t failedFiles = 0;
    std::int64_t completedDownloadSessions = 0;
    std::int64_t completedUploadSessions = 0;
    // Job runs finished (a session with all the retries it led to).
    std::int64_t downloadJobRuns = 0, uploadJobRuns = 0;
    // Sessions taken over by a watchdog for silence.
    std::int64_t watchdogTakeovers = 0;
    // Sessions begun, of both jobs: each first connection of a job run and
    // each retry (the further connections of a session are not counted).
    std::int64_t sessionsBegun = 0;
};

class TimeDialog;
class WorkPathDialog;
class AboutBox;

class App {
public:
    // baseDir is where the program's own files live (the process's current
    // directory in the real program).
    App(platform::Platform& platform, std::string baseDir);
    virtual ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    platform::Platform& plat;
    platform::EventLoop& loop;
    platform::Form1 w;
    AppState s;
    // The schedule time dialog, made and owned by the program that puts the
    // subsystems together (it belongs to the schedule, above this layer).
    TimeDialog* form2 = nullptr;
    std::unique_ptr<WorkPathDialog> form3;
    std::unique_ptr<AboutBox> form4;


    const std::string& baseDir() const { return baseDir_; }
    // A file of the program's own, in baseDir.
    std::string ownFile(const std::string& name) const;
    // A file in the working directory.
    std::string workFile(const std::string& name) const;

    // Runs start-up (fills the window, reads the program's files).
    void startUp();
    // The close box, the system or "eXit Now!". Returns when the close was
    // refused; ends the program when it goes through.
    // status is the program's exit status when the close goes through.
    void requestClose(int status = 0);
    void chooseExitNow(int status = 0);
    // 1 when a session or a file failed in this run of the program, else 0.
    int outcomeStatus() const;
    // The close rule: whether a close would go through now.
    bool closeAllowed() const;

    // Opens the schedule time dialog for the job of timeDialogMode.
    std::function<void()> openTimeDialog;

    // Receives each command sent and each reply handled, when set (a
    // front-end may show the dialogue for diagnosis).
    std::function<void(const std::string&)> trace;

    // Called after each job run has ended (a front-end may end the program).
    std::function<void()> onJobFinished;
    // Runs, files and error-log lines as they happen, for a front-end.
    AppEvents events;

    // The error-retry steps of the scheduler, installed by it; the jobs
    // reach them through app/waits.h.
    std::function<void()> downloadErrorRetryHook;
    std::function<void(std::int64_t)> uploadErrorRetryHook;
    // Whether the download job is fetching a file of that name now,
    // installed by the download job.
    std::function<bool(const std::string&)> downloadingNow;
    // The same for the upload job and the files it is sending.
    std::function<bool(const std::string&)> uploadingNow;
    // Each job's records of names sent before, read at start-up, and the
    // download's cleanup of a file cut off at shut-down; installed by the
    // jobs.
    std::function<void()> loadDownloadRecords;
    std::function<void()> loadUploadRecords;
    std::function<void()> discardDownloadInFlight;
    std::function<void()> closeUploadInFlight;
    // How long the server may take to tell the checksum of a file of a
    // size; checksumLimitSeconds when unset (tests set the longest
    // patience without files that big).
    std::function<std::int64_t(std::int64_t)> checksumPatience;

    // Time texts of now.
    platform::LocalTime now() const { return plat.clock().now(); }

    // Each job's sessions, their steps and their waits (last, so that steps
    // still waiting are dropped before anything they use).
    std::unique_ptr<JobSessions> downloadSessions;
    std::unique_ptr<JobSessions> uploadSessions;

private:
    [[noreturn]] void shutDown(int status);
    std::string baseDir_;
};

// The two error logs: a line with the date and time, also told to a
// front-end.
void appendDownloadError(App& app, const std::string& message);
void appendUploadError(App& app, const std::string& message);
// A note in the error log ("Not Verified: ...", "Clocks Differ: ..."): the
// same line, told to a front-end as a note, since nothing failed.
void appendDownloadNote(App& app, const std::string& message);
void appendUploadNote(App& app, const std::string& message);

}  // namespace corvantel
