#include "files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace corvantel::platform::files {

namespace fs = std::filesystem;

std::string currentDirectory() {
    std::error_code ec;
    auto p = fs::current_path(ec);
    return ec ? std::string(".") : p.string();
}

bool exists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isSymlink(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::int64_t length(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool remove(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

std::optional<Stamp> stamp(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return Stamp{static_cast<std::int64_t>(st.st_size),
                 static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

static bool writeAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

namespace {

std::function<void(const std::string&)>& refusalSink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}

void refuse(const std::string& path, const char* why) {
    const std::string text = "refused to write '" + path + "': " + why;
    if (refusalSink())
        refusalSink()(text);
    else
        std::fprintf(stderr, "corvantel: %s\n", text.c_str());
}

// The directory part and the last name of a path ("." for a bare name).
std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? std::string("/") : path.substr(0, slash), path.substr(slash + 1)};
}

// A name that can stand for a file of its own in a directory.
bool plainName(const std::string& name) { return !name.empty() && name != "." && name != ".."; }

// Eight letters and digits from the kernel's random source, so that another
// user cannot guess a name we are about to create.
std::string randomPart() {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[8];
    if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy yet (very early boot): the exclusive create still
        // refuses any name that exists, so a weaker name only costs retries.
        static std::atomic<unsigned long> counter{0};
        unsigned long v = counter++ ^ static_cast<unsigned long>(::getpid()) ^
                          static_cast<unsigned long>(std::chrono::steady_clock::now().time_since_epoch().count());
        for (auto& b : bytes) {
            b = static_cast<unsigned char>(v);
            v = v * 6364136223846793005UL + 1442695040888963407UL;
            b ^= static_cast<unsigned char>(v >> 33);
        }
    }
    std::string out;
    for (unsigned char b : bytes) out += alphabet[b % (sizeof alphabet - 1)];
    return out;
}

}  // namespace

void setRefusalSink(std::function<void(const std::string&)> sink) { refusalSink() = std::move(sink); }

bool append(const std::string& path, const std::string& text) {
    if (!plainName(splitPath(path).second)) return false;
    // O_NOFOLLOW: a symbolic link is not opened; O_NONBLOCK: a FIFO with no
    // reader is refused at once instead of blocking the program.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int e = errno;
        if (e == ELOOP) refuse(path, "it is a symbolic link");
        if (e == EISDIR || e == ENXIO) refuse(path, "it is not a regular file");
        return false;
    }
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        refuse(path, "it is not a regular file");
        ok = false;
    } else if (ok && st.st_nlink > 1) {
        refuse(path, "it has other hard links");
        ok = false;
    }
    ok = ok && writeAll(fd, text.data(), text.size());
    return (::close(fd) == 0) && ok;
}

bool writeWhole(const std::string& path, const std::string& text, unsigned mode) {
    const auto [dir, name] = splitPath(path);
    if (!plainName(name)) return false;
    WriteFile f;
    // A hidden name, so that no file pattern but one of hidden files takes it.
    if (!f.create(dir, "." + name + ".", ".tmp", mode)) return false;
    return f.write(text) && f.finish() && f.commit(name);
}

// Opens a regular file for reading; -1 for anything else (a FIFO would
// block, a device never end). The file is judged by the descriptor opened,
// so nothing swapped in after a look at the name is read. With follow
// false a symbolic link is not opened either.
static int openRegular(const std::string& path, bool follow, Stamp* stamp = nullptr) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    if (stamp)
        *stamp = Stamp{static_cast<std::int64_t>(st.st_size),
                       static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
    return fd;
}

std::optional<std::string> readAll(const std::string& path, std::int64_t maxBytes) {
    int fd = openRegular(path, true);
    if (fd < 0) return std::nullopt;
    std::string out;
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(fd, buf, sizeof buf);
        if (r < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return std::nullopt;
        }
        if (r == 0) break;
        std::size_t take = static_cast<std::size_t>(
            std::min<std::int64_t>(r, maxBytes - static_cast<std::int64_t>(out.size())));
        out.append(buf, take);
        if (static_cast<std::int64_t>(out.size()) >= maxBytes) break;
    }
    ::close(fd);
    return out;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string cur;
    bool pending = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            pending = false;
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            cur += c;
            pending = true;
        }
    }
    if (pending) lines.push_back(cur);
    return lines;
}

bool sameDirectory(const std::string& a, const std::string& b) {
    std::error_code ec;
    bool same = fs::equivalent(a.empty() ? "." : a, b.empty() ? "." : b, ec);
    return !ec && same;
}

// One pattern against one name, with "*" and "?" only.
static bool matchOne(const std::string& p, const std::string& n) {
    if (!n.empty() && n[0] == '.' && (p.empty() || p[0] != '.')) return false;
    std::size_t pi = 0, ni = 0, starP = std::string::npos, starN = 0;
    while (ni < n.size()) {
        if (pi < p.size() && (p[pi] == '?' || p[pi] == n[ni])) {
            ++pi;
            ++ni;
        } else if (pi < p.size() && p[pi] == '*') {
            starP = pi++;
            starN = ni;
        } else if (starP != std::string::npos) {
            pi = starP + 1;
            ni = ++starN;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == '*') ++pi;
    return pi == p.size();
}

bool wildcardMatch(const std::string& pattern, const std::string& name) {
    std::size_t start = 0;
    while (start <= pattern.size()) {
        std::size_t end = pattern.find(';', start);
        if (end == std::string::npos) end = pattern.size();
        std::string one = pattern.substr(start, end - start);
        // "*.*" names every file, also those without a dot.
        if (one == "*.*" || one == "*") return true;
        if (!one.empty() && matchOne(one, name)) return true;
        start = end + 1;
    }
    return false;
}

static std::vector<std::string> listEntries(const std::string& dir, bool wantDirs) {
    std::vector<std::string> out;
    std::error_code ec;
    fs::directory_iterator it(dir, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code ec2;
        // A file is judged as the name stands, a link never by what it
        // points to: a link is no file of this directory to send.
        const bool wanted = wantDirs ? it->is_directory(ec2)
                                     : it->symlink_status(ec2).type() == fs::file_type::regular;
        if (wanted) out.push_back(it->path().filename().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> listFiles(const std::string& dir, const std::string& pattern) {
    std::vector<std::string> out;
    for (auto& n : listEntries(dir, false))
        if (wildcardMatch(pattern, n)) out.push_back(n);
    return out;
}

std::vector<std::string> listDirectories(const std::string& dir) { return listEntries(dir, true); }

ReadFile::~ReadFile() { close(); }

bool ReadFile::open(const std::string& path) {
    close();
    failed_ = false;
    buffer_.reserve(65536);
    fd_ = openRegular(path, false, &stamp_);
    return fd_ >= 0;
}

std::string ReadFile::read(std::size_t n) {
    std::string out;
    while (fd_ >= 0 && out.size() < n) {
        if (pos_ == buffer_.size()) {
            buffer_.resize(65536);
            pos_ = 0;
            ssize_t r;
            do {
                r = ::read(fd_, buffer_.data(), buffer_.size());
            } while (r < 0 && errno == EINTR);
            if (r <= 0) {
                if (r < 0) failed_ = true;
                buffer_.clear();
                break;
            }
            buffer_.resize(static_cast<std::size_t>(r));
        }
        std::size_t take = std::min(n - out.size(), buffer_.size() - pos_);
        out.append(buffer_, pos_, take);
        pos_ += take;
    }
    return out;
}

void ReadFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
    pos_ = 0;
    stamp_ = {};
}

WriteFile::~WriteFile() { close(); }

bool WriteFile::create(const std::string& dir, const std::string& prefix, const std::string& suffix,
                       unsigned mode) {
    close();
    failed_ = true;
    synced_ = false;
    dirFd_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) return false;
    dir_ = dir.empty() ? "." : dir;
    // O_EXCL with O_NOFOLLOW: only a name that did not exist is created, so
    // nothing planted under it (a link, a FIFO, another file) is written to.
    // The mode is the widest the file gets: the umask narrows it (a service
    // with umask 077 keeps its files to its user).
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        std::string name = prefix + randomPart() + suffix;
        fd_ = ::openat(dirFd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
                       mode & 0777);
        if (fd_ >= 0)
            name_ = std::move(name);
        else if (errno != EEXIST)
            break;
    }
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close();
        failed_ = true;
        return false;
    }
    failed_ = false;
    return true;
}

std::string WriteFile::inDir(const std::string& name) const {
    return dir_.back() == '/' ? dir_ + name : dir_ + "/" + name;
}

std::string WriteFile::path() const { return name_.empty() ? std::string() : inDir(name_); }

bool WriteFile::write(const std::string& bytes) {
    if (fd_ < 0 || failed_) {
        failed_ = true;
        return false;
    }
    if (!writeAll(fd_, bytes.data(), bytes.size())) failed_ = true;
    return !failed_;
}

bool WriteFile::finish() {
    if (fd_ < 0) return false;
    if (::fsync(fd_) != 0) failed_ = true;
    synced_ = !failed_;
    return !failed_;
}

bool WriteFile::commit(const std::string& name) {
    if (fd_ < 0 || name_.empty()) return false;
    bool ok = !failed_ && plainName(name) && name.find('/') == std::string::npos;
    if (::close(fd_) != 0) ok = false;
    fd_ = -1;
    bool fresh = false;  // no file of that name yet
    if (ok) {
        // The old file is replaced only when it is a regular file: a link
        // stays a link, and a download that would replace it fails.
        struct stat st {};
        if (::fstatat(dirFd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISLNK(st.st_mode)) {
                refuse(inDir(name), "it is a symbolic link");
                ok = false;
            } else if (!S_ISREG(st.st_mode)) {
                refuse(inDir(name), "it is not a regular file");
                ok = false;
            }
        } else if (errno == ENOENT) {
            fresh = true;
        } else {
            ok = false;
        }
    }
    // Both names relative to the one directory opened at creation, so the
    // file cannot be moved anywhere else by a directory renamed meanwhile.
    // Where there was no file, none planted since is replaced either (file
    // systems without RENAME_NOREPLACE take the plain rename).
    auto moveIntoPlace = [&] {
        if (fresh) {
            if (::renameat2(dirFd_, name_.c_str(), dirFd_, name.c_str(), RENAME_NOREPLACE) == 0) return true;
            if (errno != EINVAL && errno != ENOSYS) return false;
        }
        return ::renameat(dirFd_, name_.c_str(), dirFd_, name.c_str()) == 0;
    };
    if (ok && moveIntoPlace()) {
        name_.clear();
        // A file flushed to disk has its new name flushed too.
        if (synced_ && ::fsync(dirFd_) != 0 && errno != EINVAL) ok = false;
    } else {
        ok = false;
    }
    if (!ok) failed_ = true;
    close();
    return ok;
}

bool WriteFile::reopen(const std::string& dir, const std::string& name) {
    close();
    failed_ = true;
    synced_ = false;
    if (!plainName(name) || name.find('/') != std::string::npos) return false;
    dirFd_ = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) return false;
    dir_ = dir.empty() ? "." : dir;
    // Opened first and judged by its descriptor: O_NONBLOCK, so that a FIFO
    // put under the name is refused at once instead of blocking the program,
    // and nothing swapped in after a look at the name is written on.
    fd_ = ::openat(dirFd_, name.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
        // Not ours to write on: left as it is.
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        ::close(dirFd_);
        dirFd_ = -1;
        return false;
    }
    name_ = name;
    size_ = static_cast<std::int64_t>(st.st_size);
    failed_ = false;
    return true;
}

void WriteFile::keep() {
    if (fd_ >= 0 && ::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    if (dirFd_ >= 0) ::close(dirFd_);
    dirFd_ = -1;
    name_.clear();
}

void WriteFile::close() {
    if (fd_ >= 0 && ::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    if (dirFd_ >= 0) {
        if (!name_.empty()) ::unlinkat(dirFd_, name_.c_str(), 0);
        ::close(dirFd_);
    }
    dirFd_ = -1;
    name_.clear();
}

}  // namespace corvantel::platform::files
