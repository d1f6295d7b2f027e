#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

std::int64_t length(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool remove(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

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

bool append(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fd, text.data(), text.size());
    return (::close(fd) == 0) && ok;
}

bool writeWhole(const std::string& path, const std::string& text, unsigned mode) {
    std::string tmp = path + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    ::fchmod(fd, mode);
    bool ok = writeAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::optional<std::string> readAll(const std::string& path, std::int64_t maxBytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
        bool isDir = it->is_directory(ec2);
        bool isReg = it->is_regular_file(ec2);
        if (wantDirs ? isDir : isReg) out.push_back(it->path().filename().string());
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
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
}

WriteFile::~WriteFile() { close(); }

bool WriteFile::create(const std::string& path) {
    close();
    failed_ = false;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) failed_ = true;
    return fd_ >= 0;
}

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
    return !failed_;
}

void WriteFile::close() {
    if (fd_ >= 0 && ::close(fd_) != 0) failed_ = true;
    fd_ = -1;
}

}  // namespace corvantel::platform::files
