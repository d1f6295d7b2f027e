#include "frontend/options.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "app/app_state.h"
#include "app/dialogs.h"
#include "app/text.h"

namespace corvantel {

namespace {

const std::map<std::string, std::string> fieldOptions = {
    {"--download-host", "Text1"},     {"--download-user", "fText3"},   {"--download-password", "fText4"},
    {"--download-dir", "Text2"},      {"--download-pattern", "Text7"}, {"--download-port", "Text9"},
    {"--download-retries", "Text11"}, {"--upload-host", "Text3"},      {"--upload-user", "Text4"},
    {"--upload-password", "Text5"},   {"--upload-dir", "Text6"},       {"--upload-pattern", "Text8"},
    {"--upload-port", "Text10"},      {"--upload-retries", "Text12"},
};

std::optional<std::pair<std::string, std::string>> parseHour(const std::string& v) {
    if (v.size() < 3) return std::nullopt;
    std::string half = toUpperAscii(v.substr(v.size() - 2));
    std::string hour = v.substr(0, v.size() - 2);
    if (half != "AM" && half != "PM") return std::nullopt;
    if (hour.empty() || hour.size() > 2) return std::nullopt;
    for (char c : hour)
        if (c < '0' || c > '9') return std::nullopt;
    int h = std::stoi(hour);
    if (h < 1 || h > 12) return std::nullopt;
    return std::make_pair(std::to_string(h), half);
}

std::optional<bool> parseOnOff(const std::string& v) {
    if (v == "on") return true;
    if (v == "off") return false;
    return std::nullopt;
}

platform::TextBox* fieldByName(App& app, const std::string& name) {
    auto& w = app.w;
    platform::TextBox* all[] = {&w.Text1, &w.fText3, &w.fText4, &w.Text2, &w.Text7, &w.Text9, &w.Text11,
                                &w.Text3, &w.Text4,  &w.Text5,  &w.Text6, &w.Text8, &w.Text10, &w.Text12};
    for (auto* f : all)
        if (f->name() == name) return f;
    return nullptr;
}

}  // namespace

std::string usageText() {
    return R"(Usage: corvantel [--headless] [OPTION...]

Moves files to and from FTP servers on a schedule. Without --headless the
main window opens; the options below preset its fields and menus.

Download job (each set as if typed into its field):
  --download-host HOST      --download-user USER      --download-password PASS
  --download-dir DIR        --download-pattern PAT    --download-port PORT
  --download-retries N      --download-dupe-check on|off
Upload job:
  --upload-host HOST        --upload-user USER        --upload-password PASS
  --upload-dir DIR          --upload-pattern PAT      --upload-port PORT
  --upload-retries N        --upload-dupe-check on|off
Schedule and options (never saved):
  --download-at HOUR{AM|PM} --upload-at HOUR{AM|PM}   (for example 5PM)
  --every-hour              --list (LIST instead of NLST)   --ascii
  --delete-after-download   --delete-after-upload
  --download-timestamp      --upload-timestamp
  --file-size-exists        --recall-pass             --work-path DIR
  --quick                   quick waits: each wait ends as soon as what it
                            waits for has provably happened (many small files)
  --passive                 passive mode (EPSV, else PASV): the program opens
                            every data connection itself
  --port-address ADDR       active mode: announce ADDR in PORT/EPRT instead of
                            the local address (behind NAT)
  --verify                  verify every file with the server: SIZE, and the
                            strongest checksum it offers (HASH, XSHA256, XSHA1,
                            XMD5, XCRC); a file passes only when they match
  --settle SECONDS          leave files modified less than SECONDS ago, or whose
                            size changes while they are taken, for a later run
  --resume                  keep a cut download's partial file and fetch only the
                            rest of it next time (REST); with --upload-temp-name
                            a cut upload is continued the same way (REST and
                            STOR, else APPE) and proven whole before its rename
  --upload-temp-name        store each upload as NAME.part and rename it to NAME
                            (RNFR/RNTO) only once the server confirmed the
                            whole file (and --verify proved it); a failed upload
                            never touches NAME, and its temporary copy is deleted
  --upload-temp-suffix SUF  the temporary name's suffix (default .part); with
                            --settle the download job passes over names ending
                            in it (another uploader's file in progress)
  --parallel N              move files over N connections per job side by side
                            (1 to 8; 1 without it): one lists, each file is
                            taken by one connection; fewer are used when the
                            server limits connections
  --download-tls            --upload-tls              explicit FTPS (AUTH TLS) per job
  --tls-ca FILE             trust the CA certificates in FILE besides the system's
SFTP (SSH) instead of FTP, per job (port 22 when the port field holds 21):
  --download-sftp           --upload-sftp             (not with FTPS)
  --download-key FILE       --upload-key FILE         log in with this private key
                            (OpenSSH format: Ed25519, ECDSA, RSA); the SSH
                            agent's keys and the password are tried after it
  --download-key-passphrase-file FILE   --upload-key-passphrase-file FILE
                            the key's passphrase (first line), else from
                            CORVANTEL_DOWNLOAD_KEY_PASSPHRASE and
                            CORVANTEL_UPLOAD_KEY_PASSPHRASE
  The server's key is always checked before any password or key is offered:
  --download-host-key SHA256:...  --upload-host-key SHA256:...
                            take the server whose key has this fingerprint
                            (ssh-keygen -lf KEY.pub prints it)
  --known-hosts FILE        take the keys FILE holds (repeatable; default
                            ~/.ssh/known_hosts and /etc/ssh/ssh_known_hosts)
  --accept-new-host-key     take a key no file holds for the host and add it to
                            the first known-hosts file (a changed key is still
                            refused)
  For example, with the server's key pinned and a key login:
    corvantel --headless --download-sftp --download-host sftp.example.org \
      --download-host-key SHA256:MWwRBD0JDnoiguVXxiqR3gPB3JS14aBHktPSmbE/6kk \
      --download-user bob --download-key ~/.ssh/id_ed25519 \
      --download-dir /outgoing --download-pattern '*.jpg' --download-at 5PM --arm download
Passwords off the command line (recommended over --*-password, which any
local user can read in the process list):
  --download-password-file FILE   --upload-password-file FILE   (first line;
                            the file must be readable by its owner only)
  environment: CORVANTEL_DOWNLOAD_PASSWORD, CORVANTEL_UPLOAD_PASSWORD
Running:
  --arm download|upload|both   arm the job(s) as ticking their boxes does
  --run-now download|upload    start a session at once (repeatable; in order)
  --once                       end when every armed or run-now job has run once
  --headless                   no window: print status changes on standard output,
                               a summary line after each run of a job (files
                               passed and failed, bytes, seconds, rate) and, on
                               a terminal, one updating line for the file in flight
  --json                       with --headless: one JSON object per line for every
                               event instead (see the manual page)
  --on-session CMD             with --headless: after each run of a job, start
                               /bin/sh -c CMD (not waited for) with CORVANTEL_JOB,
                               CORVANTEL_RESULT (ok or failed), CORVANTEL_PASSED,
                               CORVANTEL_FAILED and CORVANTEL_BYTES set; its exit
                               status is logged on standard error
  --help                       this text
  --version                    print the program's version and end

Exit status: 0 when every session completed and no file failed, 1 otherwise,
2 for a wrong command line.
)";
}

std::string versionText() { return std::string("corvantel ") + CORVANTEL_VERSION + "\n"; }

// A password from the first line of a file, opened once and judged by what
// was opened: a regular file (a FIFO would hang the start, a directory reads
// as nothing) that its owner alone can read, whose first line is not empty.
static bool passwordFromFile(const std::string& path, std::string& password, std::string& error) {
    const std::string what = "the password file '" + path + "'";
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + what + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = "cannot examine " + what + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        error = what + " is not a regular file";
        return false;
    }
    if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        error = what + " can be read by others (chmod 600 it)";
        return false;
    }
    // The first line only; a password is short, a longer line is not one.
    constexpr std::size_t maxLine = 4096;
    std::string text;
    char buf[1024];
    while (text.find('\n') == std::string::npos && text.size() <= maxLine) {
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            error = "cannot read " + what + ": " + std::strerror(errno);
            return false;
        }
        if (r == 0) break;
        text.append(buf, static_cast<std::size_t>(r));
    }
    password = text.substr(0, text.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.size() > maxLine) {
        error = "the first line of " + what + " is too long for a password";
        return false;
    }
    if (password.empty()) {
        error = "the first line of " + what + " is empty";
        return false;
    }
    if (!fitsInCommand(password)) {
        error = "the first line of " + what + " holds a CR or a NUL byte";
        return false;
    }
    return true;
}

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error) {
    Options o;
    std::string downloadPasswordFile, uploadPasswordFile;
    std::string downloadPassphraseFile, uploadPassphraseFile;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "option " + a + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--headless") {
            o.headless = true;
        } else if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--version") {
            o.version = true;
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--on-session") {
            if (!value(v)) return std::nullopt;
            if (v.empty()) {
                error = "--on-session needs a command";
                return std::nullopt;
            }
            o.onSession = v;
        } else if (auto it = fieldOptions.find(a); it != fieldOptions.end()) {
            if (!value(v)) return std::nullopt;
            o.fields.emplace_back(it->second, v);
        } else if (a == "--download-dupe-check" || a == "--upload-dupe-check") {
            if (!value(v)) return std::nullopt;
            auto b = parseOnOff(v);
            if (!b) {
                error = a + " takes on or off, not '" + v + "'";
                return std::nullopt;
            }
            (a == "--download-dupe-check" ? o.downloadDupeCheck : o.uploadDupeCheck) = *b;
        } else if (a == "--download-at" || a == "--upload-at") {
            if (!value(v)) return std::nullopt;
            auto h = parseHour(v);
            if (!h) {
                error = a + " takes an hour from 1 to 12 followed by AM or PM (for example 5PM), not '" + v + "'";
                return std::nullopt;
            }
            (a == "--download-at" ? o.downloadAt : o.uploadAt) = *h;
        } else if (a == "--every-hour") {
            o.everyHour = true;
        } else if (a == "--list") {
            o.list = true;
        } else if (a == "--ascii") {
            o.ascii = true;
        } else if (a == "--download-password-file" || a == "--upload-password-file") {
            if (!value(v)) return std::nullopt;
            (a[2] == 'd' ? downloadPasswordFile : uploadPasswordFile) = v;
        } else if (a == "--download-tls") {
            o.downloadTls = true;
        } else if (a == "--upload-tls") {
            o.uploadTls = true;
        } else if (a == "--tls-ca") {
            if (!value(v)) return std::nullopt;
            o.tlsCaFile = v;
        } else if (a == "--download-sftp" || a == "--upload-sftp") {
            (a[2] == 'd' ? o.downloadSftp : o.uploadSftp) = true;
        } else if (a == "--download-key" || a == "--upload-key") {
            if (!value(v)) return std::nullopt;
            (a[2] == 'd' ? o.downloadKey : o.uploadKey) = v;
        } else if (a == "--download-key-passphrase-file" || a == "--upload-key-passphrase-file") {
            if (!value(v)) return std::nullopt;
            (a[2] == 'd' ? downloadPassphraseFile : uploadPassphraseFile) = v;
        } else if (a == "--download-host-key" || a == "--upload-host-key") {
            if (!value(v)) return std::nullopt;
            // OpenSSH's form: "SHA256:" and 43 characters of unpadded base64.
            if (v.size() != 50 || v.rfind("SHA256:", 0) != 0 ||
                v.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", 7) !=
                    std::string::npos) {
                error = a + " wants a key's fingerprint as ssh-keygen -l prints it (SHA256:...), not '" + v + "'";
                return std::nullopt;
            }
            (a[2] == 'd' ? o.downloadHostKey : o.uploadHostKey) = v;
        } else if (a == "--known-hosts") {
            if (!value(v)) return std::nullopt;
            o.knownHosts.push_back(v);
        } else if (a == "--accept-new-host-key") {
            o.acceptNewHostKey = true;
        } else if (a == "--quick") {
            o.quickWaits = true;
        } else if (a == "--passive") {
            o.passive = true;
        } else if (a == "--verify") {
            o.verify = true;
        } else if (a == "--resume") {
            o.resume = true;
        } else if (a == "--upload-temp-name") {
            o.uploadTempName = true;
        } else if (a == "--upload-temp-suffix") {
            if (!value(v)) return std::nullopt;
            // A suffix that makes a plain name in the same folder: no path,
            // nothing a command cannot carry.
            if (v.empty() || v.size() > 32 || v.find_first_of(std::string("/\\\r\n\0", 5)) != std::string::npos ||
                v == "." || v == "..") {
                error = "--upload-temp-suffix wants a short suffix without '/', '\\' or line breaks, not '" + v + "'";
                return std::nullopt;
            }
            o.uploadTempSuffix = v;
        } else if (a == "--settle") {
            if (!value(v)) return std::nullopt;
            const std::int64_t n = wholeValue(v);
            if (v.empty() || v.size() > 7 || v.find_first_not_of("0123456789") != std::string::npos || n < 1) {
                error = "--settle wants a number of seconds (1 or more), not '" + v + "'";
                return std::nullopt;
            }
            o.settleSeconds = n;
        } else if (a == "--parallel") {
            if (!value(v)) return std::nullopt;
            if (v.size() != 1 || v[0] < '1' || v[0] > '8') {
                error = "--parallel wants a number of connections from 1 to 8, not '" + v + "'";
                return std::nullopt;
            }
            o.parallel = v[0] - '0';
        } else if (a == "--port-address") {
            if (!value(v)) return std::nullopt;
            o.portAddress = v;
        } else if (a == "--delete-after-download") {
            o.deleteAfterDownload = true;
        } else if (a == "--delete-after-upload") {
            o.deleteAfterUpload = true;
        } else if (a == "--download-timestamp") {
            o.downloadTimestamp = true;
        } else if (a == "--upload-timestamp") {
            o.uploadTimestamp = true;
        } else if (a == "--file-size-exists") {
            o.fileSizeExists = true;
        } else if (a == "--recall-pass") {
            o.recallPass = true;
        } else if (a == "--work-path") {
            if (!value(v)) return std::nullopt;
            if (!platform::files::isDirectory(v)) {
                error = "--work-path: '" + v + "' is not a directory";
                return std::nullopt;
            }
            o.workPath = v;
        } else if (a == "--arm") {
            if (!value(v)) return std::nullopt;
            if (v == "download" || v == "both") o.armDownload = true;
            if (v == "upload" || v == "both") o.armUpload = true;
            if (v != "download" && v != "upload" && v != "both") {
                error = "--arm takes download, upload or both, not '" + v + "'";
                return std::nullopt;
            }
        } else if (a == "--run-now") {
            if (!value(v)) return std::nullopt;
            if (v != "download" && v != "upload") {
                error = "--run-now takes download or upload, not '" + v + "'";
                return std::nullopt;
            }
            o.runNow.push_back(v);
        } else {
            error = "unknown option '" + a + "' (see --help)";
            return std::nullopt;
        }
    }
    if ((o.json || !o.onSession.empty()) && !o.headless && !o.help && !o.version) {
        error = std::string(o.json ? "--json" : "--on-session") + " needs --headless";
        return std::nullopt;
    }
    if ((o.downloadTls && o.downloadSftp) || (o.uploadTls && o.uploadSftp)) {
        error = "a job uses FTPS or SFTP, not both";
        return std::nullopt;
    }
    // Key passphrases never on the command line: a file, else the
    // environment.
    const struct {
        std::string& out;
        const std::string& file;
        const char* variable;
    } passphrases[] = {{o.downloadKeyPassphrase, downloadPassphraseFile, "CORVANTEL_DOWNLOAD_KEY_PASSPHRASE"},
                       {o.uploadKeyPassphrase, uploadPassphraseFile, "CORVANTEL_UPLOAD_KEY_PASSPHRASE"}};
    for (auto& p : passphrases) {
        if (!p.file.empty()) {
            if (!passwordFromFile(p.file, p.out, error)) return std::nullopt;
        } else if (const char* env = std::getenv(p.variable); env != nullptr) {
            p.out = env;
        }
    }
    // Passwords off the command line: a file, else the environment; a
    // password given on the command line comes first.
    const struct {
        const char* field;
        const std::string& file;
        const char* variable;
    } passwords[] = {{"fText4", downloadPasswordFile, "CORVANTEL_DOWNLOAD_PASSWORD"},
                     {"Text5", uploadPasswordFile, "CORVANTEL_UPLOAD_PASSWORD"}};
    for (auto& p : passwords) {
        bool given = false;
        for (auto& [field, text] : o.fields) given = given || field == p.field;
        if (given) continue;
        std::string password;
        if (!p.file.empty()) {
            if (!passwordFromFile(p.file, password, error)) return std::nullopt;
        } else if (const char* env = std::getenv(p.variable); env != nullptr) {
            password = env;
        } else {
            continue;
        }
        o.fields.emplace_back(p.field, password);
    }
    // A password goes into the PASS command: a CR, LF or NUL in it would
    // make the rest a command of its own.
    for (auto& [field, text] : o.fields) {
        if ((field == "fText4" || field == "Text5") && !fitsInCommand(text)) {
            error = std::string("the ") + (field == "fText4" ? "download" : "upload") +
                    " password holds a line break or a NUL byte";
            return std::nullopt;
        }
    }
    // On a server every local user can read the command line.
    if (o.headless) {
        for (const char* job : {"download", "upload"}) {
            const std::string option = std::string("--") + job + "-password";
            if (std::find(args.begin(), args.end(), option) != args.end())
                o.warnings.push_back(option + " can be read by every local user in the process list; use " +
                                     option + "-file or CORVANTEL_" + toUpperAscii(job) + "_PASSWORD");
        }
    }
    return o;
}

bool guardSecrets(const App& app, const Options& o) {
    if (!o.headless) return false;
    const auto& w = app.w;
    // (A key's passphrase is one too.)
    bool holds = !app.s.downloadSsh.keyPassphrase.empty() || !app.s.uploadSsh.keyPassphrase.empty();
    for (auto* p : {&w.fText4, &w.Text5})
        holds = holds || (!p->text().empty() && p->text() != defaultAnonymousPassword);
    if (!holds) return false;
    // No core file, no ptrace and no /proc/PID/mem for other processes of
    // the same user: the password stays in this process.
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

void applyOptions(App& app, const Options& o) {
    auto& w = app.w;
    auto& s = app.s;
    for (auto& [name, text] : o.fields)
        if (auto* f = fieldByName(app, name)) f->setText(text);
    if (o.downloadDupeCheck) w.Check3.setChecked(*o.downloadDupeCheck);
    if (o.uploadDupeCheck) w.Check4.setChecked(*o.uploadDupeCheck);
    auto choose = [](platform::MenuItem& item) {
        if (item.onChoose) item.onChoose();
    };
    if (o.everyHour && !w.ai_hr.checked()) choose(w.ai_hr);
    if (o.list) choose(w.ai_list);
    if (o.ascii) choose(w.ai_asc);
    if (o.deleteAfterDownload && !w.ai_del.checked()) choose(w.ai_del);
    if (o.deleteAfterUpload && !w.ai_del2.checked()) choose(w.ai_del2);
    if (o.downloadTimestamp && !w.ai_dstamp.checked()) choose(w.ai_dstamp);
    if (o.uploadTimestamp && !w.ai_ustamp.checked()) choose(w.ai_ustamp);
    if (o.fileSizeExists && !w.ai_fsize.checked()) choose(w.ai_fsize);
    if (o.recallPass && !w.ai_pass.checked()) choose(w.ai_pass);
    if (o.quickWaits && !w.ai_quick.checked()) choose(w.ai_quick);
    if (o.passive && !w.ai_pasv.checked()) choose(w.ai_pasv);
    if (o.verify && !w.ai_verify.checked()) choose(w.ai_verify);
    if (o.resume && !w.ai_resume.checked()) choose(w.ai_resume);
    if (o.uploadTempName && !w.ai_utemp.checked()) choose(w.ai_utemp);
    if (o.uploadTempSuffix) app.s.uploadTempSuffix = *o.uploadTempSuffix;
    if (o.settleSeconds > 0) {
        s.settleChoice = o.settleSeconds;
        if (!w.ai_settle.checked()) choose(w.ai_settle);
    }
    if (o.parallel > 1) {
        s.parallelChoice = o.parallel;
        if (!w.ai_parallel.checked()) choose(w.ai_parallel);
    }
    if (!o.portAddress.empty()) app.s.portAddress = o.portAddress;
    if (o.downloadTls && !w.ai_dtls.checked()) choose(w.ai_dtls);
    if (o.uploadTls && !w.ai_utls.checked()) choose(w.ai_utls);
    app.s.tlsCaFile = o.tlsCaFile;
    if (o.downloadSftp && !w.ai_dsftp.checked()) choose(w.ai_dsftp);
    if (o.uploadSftp && !w.ai_usftp.checked()) choose(w.ai_usftp);
    s.downloadSsh = {o.downloadKey, o.downloadKeyPassphrase, o.downloadHostKey};
    s.uploadSsh = {o.uploadKey, o.uploadKeyPassphrase, o.uploadHostKey};
    s.knownHostsFiles = o.knownHosts;
    s.acceptNewHostKeys = o.acceptNewHostKey;
    if (o.workPath) {
        app.form3->open();
        app.form3->clickFolder(*o.workPath);
        app.form3->close();
    }
    if (o.downloadAt) {
        s.downloadHour = o.downloadAt->first;
        s.downloadAmPm = o.downloadAt->second;
        w.Label11.setCaption(s.downloadHour + s.downloadAmPm + " " + s.downloadActiveText);
    }
    if (o.uploadAt) {
        s.uploadHour = o.uploadAt->first;
        s.uploadAmPm = o.uploadAt->second;
        w.Label12.setCaption(s.uploadHour + s.uploadAmPm + " " + s.uploadActiveText);
    }
    if (o.armDownload) w.Check1.setChecked(true);
    if (o.armUpload) w.Check2.setChecked(true);
}

bool onceSatisfied(const App& app, const Options& o) {
    bool wantDownload = o.armDownload, wantUpload = o.armUpload;
    std::int64_t needDownload = 0, needUpload = 0;
    for (auto& r : o.runNow) (r == "download" ? needDownload : needUpload) += 1;
    if (wantDownload) needDownload += 1;
    if (wantUpload) needUpload += 1;
    return app.s.downloadJobRuns >= needDownload && app.s.uploadJobRuns >= needUpload;
}

}  // namespace corvantel
