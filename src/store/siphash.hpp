// SipHash with a configurable number of compression and finalisation rounds. The state
// store uses SipHash-1-3; SipHash-2-4 exists so tests can check the shared core against
// the reference vectors published with the algorithm.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolm {

template <int CompressionRounds, int FinalizationRounds>
uint64_t siphash(uint64_t k0, uint64_t k1, const void* data, size_t size) noexcept;

// SipHash-1-3 of `bytes` followed by one extra 0xFF byte: the hash the state store uses
// for a key text. The trailing byte keeps a key from hashing like a prefix of a longer one.
uint64_t siphash13_key_text(uint64_t k0, uint64_t k1, std::string_view bytes) noexcept;

extern template uint64_t siphash<1, 3>(uint64_t, uint64_t, const void*, size_t) noexcept;
extern template uint64_t siphash<2, 4>(uint64_t, uint64_t, const void*, size_t) noexcept;

}  // namespace tolm
