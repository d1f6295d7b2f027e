#include "platform/digest.h"

#include <openssl/evp.h>

#include <array>

namespace corvantel::platform {

struct Digest::Ctx {
    EVP_MD_CTX* md = nullptr;
    ~Ctx() { EVP_MD_CTX_free(md); }
};

namespace {

const EVP_MD* evpFor(HashKind kind) {
    switch (kind) {
        case HashKind::Md5: return EVP_md5();
        case HashKind::Sha1: return EVP_sha1();
        case HashKind::Sha256: return EVP_sha256();
        case HashKind::Sha512: return EVP_sha512();
        default: return nullptr;
    }
}

// CRC-32 as zip and the XCRC command compute it (reflected, 0xEDB88320).
const std::array<std::uint32_t, 256>& crcTable() {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

std::string toHex(const unsigned char* p, std::size_t n) {
    static const char* const digits = "0123456789abcdef";
    std::string out;
    out.reserve(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

}  // namespace

std::size_t hexDigits(HashKind kind) {
    switch (kind) {
        case HashKind::Crc32: return 8;
        case HashKind::Md5: return 32;
        case HashKind::Sha1: return 40;
        case HashKind::Sha256: return 64;
        case HashKind::Sha512: return 128;
        default: return 0;
    }
}

Digest::Digest() = default;
Digest::~Digest() = default;

void Digest::start(HashKind kind) {
    kind_ = kind;
    failed_ = false;
    crc_ = 0xFFFFFFFFu;
    ctx_.reset();
    if (const EVP_MD* md = evpFor(kind)) {
        ctx_ = std::make_unique<Ctx>();
        ctx_->md = EVP_MD_CTX_new();
        failed_ = ctx_->md == nullptr || EVP_DigestInit_ex(ctx_->md, md, nullptr) != 1;
    }
}

void Digest::update(std::string_view bytes) {
    if (kind_ == HashKind::None || failed_ || bytes.empty()) return;
    if (kind_ == HashKind::Crc32) {
        const auto& t = crcTable();
        std::uint32_t c = crc_;
        for (unsigned char b : bytes) c = t[(c ^ b) & 0xFF] ^ (c >> 8);
        crc_ = c;
        return;
    }
    failed_ = EVP_DigestUpdate(ctx_->md, bytes.data(), bytes.size()) != 1;
}

std::string Digest::hex() const {
    if (kind_ == HashKind::None || failed_) return {};
    if (kind_ == HashKind::Crc32) {
        const std::uint32_t v = crc_ ^ 0xFFFFFFFFu;
        const unsigned char b[4] = {static_cast<unsigned char>(v >> 24), static_cast<unsigned char>(v >> 16),
                                    static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v)};
        return toHex(b, 4);
    }
    // The context is copied so that hex() can be asked more than once.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    if (!copy) return {};
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    const bool ok = EVP_MD_CTX_copy_ex(copy, ctx_->md) == 1 && EVP_DigestFinal_ex(copy, out, &n) == 1;
    EVP_MD_CTX_free(copy);
    return ok ? toHex(out, n) : std::string();
}

}  // namespace corvantel::platform
