#pragma once
// Checksums of file contents, computed piece by piece as the bytes pass, so
// that proving a big file never needs a second read of it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corvantel::platform {

// The checksums a server may offer, weakest first.
enum class HashKind { None, Crc32, Md5, Sha1, Sha256, Sha512 };

// Digits of a checksum of that kind in hexadecimal (0 for None).
std::size_t hexDigits(HashKind kind);

class Digest {
public:
    Digest();
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    // Starts over with an empty input (None: nothing is computed).
    void start(HashKind kind);
    HashKind kind() const { return kind_; }
    void update(std::string_view bytes);
    // The checksum of everything given since start(), in lower-case
    // hexadecimal; empty for None or when the computation failed.
    std::string hex() const;

private:
    struct Ctx;
    HashKind kind_ = HashKind::None;
    std::unique_ptr<Ctx> ctx_;
    std::uint32_t crc_ = 0;
    bool failed_ = false;
};

}  // namespace corvantel::platform
