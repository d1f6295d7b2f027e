#pragma once
// File system operations used by the logic. Paths are plain strings; every
// operation reports failure by its result and never throws.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvantel::platform::files {

std::string currentDirectory();
bool exists(const std::string& path);
bool isDirectory(const std::string& path);
// Whether the name itself is a symbolic link.
bool isSymlink(const std::string& path);
// Length in bytes, or -1 when the file cannot be read.
std::int64_t length(const std::string& path);
bool remove(const std::string& path);
// The size and last modification time (nanoseconds since 1970, UTC) of a
// regular file (as reads see it, through a link); nothing when there is
// none.
struct Stamp {
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    bool operator==(const Stamp&) const = default;
};
std::optional<Stamp> stamp(const std::string& path);
// Whether two paths name the same existing directory.
bool sameDirectory(const std::string& a, const std::string& b);

// Writes never go through a link: a name that is a symbolic link, or that
// is not a regular file, is refused, and the refusal is told here (by
// default a line on standard error). The caller's result is false.
void setRefusalSink(std::function<void(const std::string&)> sink);

// Appends text as it stands (the caller adds line ends). Creates the file
// when missing; opens and closes it within the call. A name that is a
// symbolic link, anything but a regular file, or a file with other hard
// links is refused.
bool append(const std::string& path, const std::string& text);

// Replaces the whole file: writes a new file of a fresh name beside it,
// flushes it to disk and renames it over the old one, so a failure leaves
// the old file. The new file is created with mode as the umask allows
// (0600 keeps it to its owner whatever the umask). An old file that is a symbolic link or not a regular file is
// refused and left as it is.
bool writeWhole(const std::string& path, const std::string& text, unsigned mode = 0644);

// The whole content, or nothing when it cannot be read or is not a regular
// file. maxBytes bounds what a hand-edited file can make us hold.
std::optional<std::string> readAll(const std::string& path, std::int64_t maxBytes = 16 << 20);

// Lines of a text file, split at LF, CR LF or a lone CR, without the breaks.
std::vector<std::string> splitLines(const std::string& text);

// Names (not paths) of the regular files of dir whose names match the
// wildcard pattern, in byte order; a symbolic link is never one, whatever
// it points to. A pattern may hold several patterns
// separated by ';'. '*' and '?' are the only wildcards: every other
// character, "[" and "]" included, stands for itself. A name that begins
// with "." is matched only by a pattern that begins with ".".
std::vector<std::string> listFiles(const std::string& dir, const std::string& pattern);
bool wildcardMatch(const std::string& pattern, const std::string& name);

// Sub-directories of dir, by name, in byte order.
std::vector<std::string> listDirectories(const std::string& dir);

// A file opened for reading in fixed records: never through a symbolic link,
// and only a regular file, as the descriptor opened shows it (a FIFO does not
// block the open). Reads go through a buffer of 64 KiB, so small records cost no system call
// each while memory stays flat whatever the file's size.
class ReadFile {
public:
    ReadFile() = default;
    ~ReadFile();
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;
    bool open(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    // The opened file's size and time when it was opened (0 when none).
    std::int64_t size() const { return stamp_.size; }
    const Stamp& stamp() const { return stamp_; }
    // Reads up to n bytes; returns what was read (empty at the end or on error).
    // failed() tells an error apart from the end.
    std::string read(std::size_t n);
    bool failed() const { return failed_; }
    void close();
    // Exchanges the open files of the two.
    void swap(ReadFile& other) noexcept {
        std::swap(fd_, other.fd_);
        std::swap(failed_, other.failed_);
        std::swap(stamp_, other.stamp_);
        buffer_.swap(other.buffer_);
        std::swap(pos_, other.pos_);
    }

private:
    int fd_ = -1;
    bool failed_ = false;
    Stamp stamp_;
    std::string buffer_;
    std::size_t pos_ = 0;
};

// A new file, written under a name of its own and then renamed into place
// in the same directory. It is created exclusively (never an existing file,
// never through a link), and removed again unless it is committed.
class WriteFile {
public:
    WriteFile() = default;
    ~WriteFile();
    WriteFile(const WriteFile&) = delete;
    WriteFile& operator=(const WriteFile&) = delete;
    // Creates a file in dir named prefix + a fresh random part + suffix,
    // with mode as the umask allows (never wider).
    bool create(const std::string& dir, const std::string& prefix, const std::string& suffix,
                unsigned mode = 0644);
    bool isOpen() const { return fd_ >= 0; }
    // The created file's path (empty when none).
    std::string path() const;
    bool write(const std::string& bytes);
    // Flushes to disk; false when any write or the flush failed.
    bool finish();
    bool failed() const { return failed_; }
    // Closes the file and renames it to name in its directory. Refused (the
    // file is removed) when name is a symbolic link or anything but a
    // regular file, or when a write, the close or the rename failed.
    bool commit(const std::string& name);
    // Closes the file and removes it unless it was committed.
    void close();
    // Opens an existing file of dir to write on at its end (a download
    // resumed): never a link, never anything but a regular file of ours
    // with a single name, as the descriptor opened shows it (a FIFO put
    // under the name is refused without blocking). It is then handled as a
    // created one.
    bool reopen(const std::string& dir, const std::string& name);
    // The size of the reopened file when it was opened.
    std::int64_t size() const { return size_; }
    // Closes the file and leaves it where it is, under its own name.
    void keep();

private:
    std::string inDir(const std::string& name) const;
    int dirFd_ = -1;
    int fd_ = -1;
    bool failed_ = false;
    bool synced_ = false;  // finish() flushed it: the rename is flushed too
    std::int64_t size_ = 0;
    std::string dir_, name_;
};

}  // namespace corvantel::platform::files
