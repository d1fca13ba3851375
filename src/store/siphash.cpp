#include "store/siphash.hpp"

#include <bit>
#include <cstring>

namespace tolm {
namespace {

struct SipState {
    uint64_t v0, v1, v2, v3;

    SipState(uint64_t k0, uint64_t k1) noexcept
        : v0(k0 ^ 0x736f6d6570736575ULL),
          v1(k1 ^ 0x646f72616e646f6dULL),
          v2(k0 ^ 0x6c7967656e657261ULL),
          v3(k1 ^ 0x7465646279746573ULL) {}

    void round() noexcept {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    template <int C>
    void compress(uint64_t m) noexcept {
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    }

    template <int D>
    uint64_t finish() noexcept {
        v2 ^= 0xff;
        for (int i = 0; i < D; ++i) round();
        return v0 ^ v1 ^ v2 ^ v3;
    }
};

uint64_t load_le64(const unsigned char* p) noexcept {
    uint64_t value;
    std::memcpy(&value, p, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}

// Up to seven trailing bytes as a little-endian word.
uint64_t load_tail(const unsigned char* p, size_t n) noexcept {
    uint64_t value = 0;
    for (size_t i = 0; i < n; ++i) value |= static_cast<uint64_t>(p[i]) << (8 * i);
    return value;
}

// Hashes `size` bytes of `data` followed by `suffix_size` (0 or 1) bytes 0xFF.
template <int C, int D>
uint64_t hash_with_suffix(uint64_t k0, uint64_t k1, const unsigned char* data, size_t size,
                          size_t suffix_size) noexcept {
    SipState s(k0, k1);
    const uint64_t length_byte = static_cast<uint64_t>(size + suffix_size) << 56;
    const size_t whole = size & ~size_t{7};
    for (size_t i = 0; i < whole; i += 8) s.compress<C>(load_le64(data + i));

    // The last block holds the remaining bytes, then the suffix, with the message length
    // in its top byte. Seven remaining bytes plus the suffix fill a block of their own.
    const size_t rest = size - whole;
    uint64_t last = load_tail(data + whole, rest);
    if (suffix_size) {
        last |= uint64_t{0xff} << (8 * rest);
        if (rest == 7) {
            s.compress<C>(last);
            last = 0;
        }
    }
    s.compress<C>(last | length_byte);
    return s.finish<D>();
}

}  // namespace

template <int C, int D>
uint64_t siphash(uint64_t k0, uint64_t k1, const void* data, size_t size) noexcept {
    return hash_with_suffix<C, D>(k0, k1, static_cast<const unsigned char*>(data), size, 0);
}

template uint64_t siphash<1, 3>(uint64_t, uint64_t, const void*, size_t) noexcept;
template uint64_t siphash<2, 4>(uint64_t, uint64_t, const void*, size_t) noexcept;

uint64_t siphash13_key_text(uint64_t k0, uint64_t k1, std::string_view bytes) noexcept {
    return hash_with_suffix<1, 3>(k0, k1, reinterpret_cast<const unsigned char*>(bytes.data()),
                                  bytes.size(), 1);
}

}  // namespace tolm
