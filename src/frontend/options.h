#pragma once
// The command line of both front-ends: job fields, schedule and options as
// presets of the window, jobs to arm or run at once, and --once.

#include <optional>
#include <string>
#include <vector>

namespace corvantel {
class App;

struct Options {
    bool headless = false;
    bool help = false;
    bool version = false;
    // Things worth telling the user that do not stop the program (a
    // password file others can read), for standard error.
    std::vector<std::string> warnings;
    // FTPS per job, and a CA trusted besides the system's.
    bool downloadTls = false, uploadTls = false;
    std::string tlsCaFile;
    // SFTP per job, its key file, the key's passphrase (from a file or the
    // environment only), a pinned host key; the known-hosts files; and
    // whether an unknown host key is accepted and added.
    bool downloadSftp = false, uploadSftp = false;
    std::string downloadKey, uploadKey, downloadKeyPassphrase, uploadKeyPassphrase;
    std::string downloadHostKey, uploadHostKey;
    std::vector<std::string> knownHosts;
    bool acceptNewHostKey = false;
    bool once = false;
    // Headless reporting: JSON lines instead of text, and a command run
    // after each run of a job.
    bool json = false;
    std::string onSession;
    // Field presets in command-line order: control name and text.
    std::vector<std::pair<std::string, std::string>> fields;
    std::optional<bool> downloadDupeCheck, uploadDupeCheck;
    std::optional<std::pair<std::string, std::string>> downloadAt, uploadAt;  // hour, half
    bool everyHour = false, list = false, ascii = false;
    bool deleteAfterDownload = false, deleteAfterUpload = false;
    bool downloadTimestamp = false, uploadTimestamp = false;
    bool fileSizeExists = false, recallPass = false;
    bool quickWaits = false;
    bool passive = false;
    // Proven transfers: verified by the server, settled files only (seconds;
    // 0: off), big downloads resumed.
    bool verify = false;
    std::int64_t settleSeconds = 0;
    // Connections per job (1: one, as without the option).
    std::int64_t parallel = 1;
    bool resume = false;
    // Uploads stored under NAME plus the suffix and renamed into place.
    bool uploadTempName = false;
    std::optional<std::string> uploadTempSuffix;
    std::string portAddress;
    std::optional<std::string> workPath;
    bool armDownload = false, armUpload = false;
    std::vector<std::string> runNow;  // "download" / "upload", in order
};

// Parses argv (without the program name). On a wrong command line returns
// nothing and puts a message in error.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error);
std::string usageText();
// "corvantel VERSION" and a newline, for --version.
std::string versionText();

// Applies the presets to a started application, as the user would set them:
// each field through its change handling, menus by their ticks, arming by
// ticking the boxes.
void applyOptions(App& app, const Options& options);

// Headless, once a password is loaded (a job's password field holds one
// that is not the anonymous default, or a key's passphrase was given):
// makes the process non-dumpable, so the secret is in no core file and no
// other process of the user can read it. Returns whether it did.
bool guardSecrets(const App& app, const Options& options);

// Whether every job that --once waits for has finished one run.
bool onceSatisfied(const App& app, const Options& options);

}  // namespace corvantel
