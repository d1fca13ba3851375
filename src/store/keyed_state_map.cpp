#include "store/keyed_state_map.hpp"

#include <bit>

#include "runtime/platform.hpp"

namespace tolm::store_detail {

uint64_t shard_count_for_processors(uint64_t processors) noexcept {
    if (processors == 0) processors = 1;
    return std::bit_ceil(processors * 4);
}

uint64_t shard_count() noexcept {
    static const uint64_t count = shard_count_for_processors(platform::logical_processor_count());
    return count;
}

HashKey take_hash_key() noexcept {
    struct ThreadKeys {
        bool filled = false;
        uint64_t k0 = 0, k1 = 0;
    };
    thread_local ThreadKeys keys;
    if (!keys.filled) {
        unsigned char bytes[16];
        platform::fill_random(bytes, sizeof bytes);
        keys.k0 = keys.k1 = 0;
        for (int i = 7; i >= 0; --i) keys.k0 = (keys.k0 << 8) | bytes[i];
        for (int i = 15; i >= 8; --i) keys.k1 = (keys.k1 << 8) | bytes[i];
        keys.filled = true;
    }
    const HashKey taken{keys.k0, keys.k1};
    ++keys.k0;
    return taken;
}

}  // namespace tolm::store_detail
