// SipHash against the published reference vectors: key 00 01 .. 0f, message i bytes
// 00 01 .. (i-1) for i = 0..63, output read as a little-endian 64-bit word.
#include "store/siphash.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

namespace tolm {
namespace {

constexpr uint64_t kK0 = 0x0706050403020100ULL;
constexpr uint64_t kK1 = 0x0f0e0d0c0b0a0908ULL;

// SipHash-2-4: vectors_sip64 of the reference implementation's vectors.h,
// https://github.com/veorq/SipHash (Aumasson and Bernstein).
constexpr std::array<uint64_t, 64> kSip24 = {
    0x726fdb47dd0e0e31, 0x74f839c593dc67fd, 0x0d6c8009d9a94f5a, 0x85676696d7fb7e2d,
    0xcf2794e0277187b7, 0x18765564cd99a68d, 0xcbc9466e58fee3ce, 0xab0200f58b01d137,
    0x93f5f5799a932462, 0x9e0082df0ba9e4b0, 0x7a5dbbc594ddb9f3, 0xf4b32f46226bada7,
    0x751e8fbc860ee5fb, 0x14ea5627c0843d90, 0xf723ca908e7af2ee, 0xa129ca6149be45e5,
    0x3f2acc7f57c29bdb, 0x699ae9f52cbe4794, 0x4bc1b3f0968dd39c, 0xbb6dc91da77961bd,
    0xbed65cf21aa2ee98, 0xd0f2cbb02e3b67c7, 0x93536795e3a33e88, 0xa80c038ccd5ccec8,
    0xb8ad50c6f649af94, 0xbce192de8a85b8ea, 0x17d835b85bbb15f3, 0x2f2e6163076bcfad,
    0xde4daaaca71dc9a5, 0xa6a2506687956571, 0xad87a3535c49ef28, 0x32d892fad841c342,
    0x7127512f72f27cce, 0xa7f32346f95978e3, 0x12e0b01abb051238, 0x15e034d40fa197ae,
    0x314dffbe0815a3b4, 0x027990f029623981, 0xcadcd4e59ef40c4d, 0x9abfd8766a33735c,
    0x0e3ea96b5304a7d0, 0xad0c42d6fc585992, 0x187306c89bc215a9, 0xd4a60abcf3792b95,
    0xf935451de4f21df2, 0xa9538f0419755787, 0xdb9acddff56ca510, 0xd06c98cd5c0975eb,
    0xe612a3cb9ecba951, 0xc766e62cfcadaf96, 0xee64435a9752fe72, 0xa192d576b245165a,
    0x0a8787bf8ecb74b2, 0x81b3e73d20b49b6f, 0x7fa8220ba3b2ecea, 0x245731c13ca42499,
    0xb78dbfaf3a8d83bd, 0xea1ad565322a1a0b, 0x60e61c23a3795013, 0x6606d7e446282b93,
    0x6ca4ecb15c5f91e1, 0x9f626da15c9625f3, 0xe51b38608ef25f57, 0x958a324ceb064572,
};

// SipHash-1-3: the table of test_siphash_1_3 in the Rust standard library,
// https://github.com/rust-lang/rust, library/core/tests/hash/sip.rs (same key and messages).
constexpr std::array<uint64_t, 64> kSip13 = {
    0xabac0158050fc4dc, 0xc9f49bf37d57ca93, 0x82cb9b024dc7d44d, 0x8bf80ab8e7ddf7fb,
    0xcf75576088d38328, 0xdef9d52f49533b67, 0xc50d2b50c59f22a7, 0xd3927d989bb11140,
    0x369095118d299a8e, 0x25a48eb36c063de4, 0x79de85ee92ff097f, 0x70c118c1f94dc352,
    0x78a384b157b4d9a2, 0x306f760c1229ffa7, 0x605aa111c0f95d34, 0xd320d86d2a519956,
    0xcc4fdd1a7d908b66, 0x9cf2689063dbd80c, 0x8ffc389cb473e63e, 0xf21f9de58d297d1c,
    0xc0dc2f46a6cce040, 0xb992abfe2b45f844, 0x7ffe7b9ba320872e, 0x525a0e7fdae6c123,
    0xf464aeb267349c8c, 0x45cd5928705b0979, 0x3a3e35e3ca9913a5, 0xa91dc74e4ade3b35,
    0xfb0bed02ef6cd00d, 0x88d93cb44ab1e1f4, 0x540f11d643c5e663, 0x2370dd1f8c21d1bc,
    0x81157b6c16a7b60d, 0x4d54b9e57a8ff9bf, 0x759f12781f2a753e, 0xcea1a3bebf186b91,
    0x2cf508d3ada26206, 0xb6101c2da3c33057, 0xb3f47496ae3a36a1, 0x626b57547b108392,
    0xc1d2363299e41531, 0x667cc1923f1ad944, 0x65704ffec8138825, 0x24f280d1c28949a6,
    0xc2ca1cedfaf8876b, 0xc2164bfc9f042196, 0xa16e9c9368b1d623, 0x49fb169c8b5114fd,
    0x9f3143f8df074c46, 0xc6fdaf2412cc86b3, 0x7eaf49d10a52098f, 0x1cf313559d292f9a,
    0xc44a30dda2f41f12, 0x36fae98943a71ed0, 0x318fb34c73f0bce6, 0xa27abf3670a7e980,
    0xb4bcc0db243c6d75, 0x23f8d852fdb71513, 0x8f035f4da67d8a08, 0xd89cd0e5b7e8f148,
    0xf6f4e6bcf7a644ee, 0xaec59ad80f1837f2, 0xc3b2f6154b6694e0, 0x9d199062b7bbb3a8,
};

std::array<unsigned char, 64> counting_bytes() {
    std::array<unsigned char, 64> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
    return bytes;
}

TEST(SipHashTest, MatchesReferenceVectorsForEveryLength) {
    const auto message = counting_bytes();
    for (size_t len = 0; len < 64; ++len) {
        EXPECT_EQ((siphash<2, 4>(kK0, kK1, message.data(), len)), kSip24[len]) << "length " << len;
        EXPECT_EQ((siphash<1, 3>(kK0, kK1, message.data(), len)), kSip13[len]) << "length " << len;
    }
}

// The store hashes a key with one 0xFF byte appended; the shortcut that avoids copying
// the key must agree with hashing the extended bytes, across every tail length.
TEST(SipHashTest, KeyTextHashEqualsHashOfBytesFollowedByFF) {
    const auto message = counting_bytes();
    for (size_t len = 0; len < 40; ++len) {
        std::string key(reinterpret_cast<const char*>(message.data()), len);
        std::string extended = key + '\xff';
        EXPECT_EQ(siphash13_key_text(kK0, kK1, key),
                  (siphash<1, 3>(kK0, kK1, extended.data(), extended.size())))
            << "length " << len;
    }
}

}  // namespace
}  // namespace tolm
