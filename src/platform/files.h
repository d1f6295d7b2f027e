#pragma once
// File system operations used by the logic. Paths are plain strings; every
// operation reports failure by its result and never throws.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantel::platform::files {

std::string currentDirectory();
bool exists(const std::string& path);
bool isDirectory(const std::string& path);
// Length in bytes, or -1 when the file cannot be read.
std::int64_t length(const std::string& path);
bool remove(const std::string& path);
// Whether two paths name the same existing directory.
bool sameDirectory(const std::string& a, const std::string& b);

// Appends text as it stands (the caller adds line ends). Creates the file
// when missing; opens and closes it within the call.
bool append(const std::string& path, const std::string& text);

// Replaces the whole file: writes a temporary file beside it, flushes it to
// disk and renames it over the old one, so a failure leaves the old file.
// mode is applied to the new file (0600 keeps it to its owner).
bool writeWhole(const std::string& path, const std::string& text, unsigned mode = 0644);

// The whole content, or nothing when it cannot be read. maxBytes bounds
// what a hand-edited file can make us hold.
std::optional<std::string> readAll(const std::string& path, std::int64_t maxBytes = 16 << 20);

// Lines of a text file, split at LF, CR LF or a lone CR, without the breaks.
std::vector<std::string> splitLines(const std::string& text);

// Names (not paths) of the regular files of dir whose names match the
// wildcard pattern, in byte order. A pattern may hold several patterns
// separated by ';'. '*' and '?' are the only wildcards: every other
// character, "[" and "]" included, stands for itself. A name that begins
// with "." is matched only by a pattern that begins with ".".
std::vector<std::string> listFiles(const std::string& dir, const std::string& pattern);
bool wildcardMatch(const std::string& pattern, const std::string& name);

// Sub-directories of dir, by name, in byte order.
std::vector<std::string> listDirectories(const std::string& dir);

// A file opened for reading in fixed records, or for writing at its start.
// Reads go through a buffer of 64 KiB, so small records cost no system call
// each while memory stays flat whatever the file's size.
class ReadFile {
public:
    ReadFile() = default;
    ~ReadFile();
    ReadFile(const ReadFile&) = delete;
    ReadFile& operator=(const ReadFile&) = delete;
    bool open(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    // Reads up to n bytes; returns what was read (empty at the end or on error).
    // failed() tells an error apart from the end.
    std::string read(std::size_t n);
    bool failed() const { return failed_; }
    void close();

private:
    int fd_ = -1;
    bool failed_ = false;
    std::string buffer_;
    std::size_t pos_ = 0;
};

class WriteFile {
public:
    WriteFile() = default;
    ~WriteFile();
    WriteFile(const WriteFile&) = delete;
    WriteFile& operator=(const WriteFile&) = delete;
    // Creates or truncates the file.
    bool create(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    bool write(const std::string& bytes);
    // Flushes to disk; false when any write or the flush failed.
    bool finish();
    bool failed() const { return failed_; }
    void close();

private:
    int fd_ = -1;
    bool failed_ = false;
};

}  // namespace corvantel::platform::files
