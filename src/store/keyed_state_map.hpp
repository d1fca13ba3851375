// KeyedStateMap: the per-client state of one algorithm, a map from key text to a state
// record, split into shards that each carry their own lock.
//
// One 64-bit hash per key, three disjoint uses. Every key is hashed once per lookup with
// SipHash-1-3 under the map's random key (so clients cannot aim their keys at one shard or
// one probe chain), and the 64 bits of that hash h are split:
//
//   bit 63 ......... 57 | 56 ...... 57-s | ........ | b-1 ........ 0
//   tag (top 7 bits)    | shard (s bits) |  unused  | slot (b bits)
//
//   - shard: (h << 7) >> shard_shift, the s = log2(shard_count) bits just below the tag;
//   - tag:   0x80 | (h >> 57), one byte per index slot, never 0 (0 marks an empty slot), so a
//            probe compares a byte before it looks at an entry, and only one entry in 128
//            with a different key is ever compared byte by byte;
//   - slot:  h & (slots - 1), where a shard's index starts probing (linearly).
// The three stay disjoint while b + s <= 57, which the size limits below guarantee (up to
// 16384 processors), so the keys of one shard spread over its whole index.
//
// A shard's table keeps its entries densely in insertion order and finds them through an
// open-addressed index of 32-bit entry numbers plus one tag byte per slot. That keeps an
// IPv4-sized key with a 16-byte state under 96 bytes of memory, and a lookup of an existing
// key touches one tag, one index slot and one entry. Entries are never removed; the index
// doubles when it is three-quarters full, the entry list grows like a vector.
//
// Locks: each shard's RwLock guards its table and is taken only exclusively, by
// entry_or_insert, and held by the returned EntryGuard until the caller is done with the
// state. A caller holds at most one shard lock at a time; the engine calls in with its own
// engine lock held (engine lock first, shard lock second, never the reverse).
#pragma once

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/fatal.hpp"
#include "runtime/sync.hpp"
#include "store/siphash.hpp"

namespace tolm {

namespace store_detail {

// Shard count for every map of the process: the smallest power of two that is at least
// four times the logical processor count (a count of 0 counts as 1). Computed once.
uint64_t shard_count() noexcept;
uint64_t shard_count_for_processors(uint64_t processors) noexcept;

// SipHash key for a new map: the calling thread's pair, whose k0 then advances by one.
struct HashKey {
    uint64_t k0, k1;
};
HashKey take_hash_key() noexcept;

}  // namespace store_detail

template <typename State>
class KeyedStateMap {
    struct Shard;

  public:
    // Exclusive access to one key's state; holds the shard's write lock until destroyed.
    class EntryGuard {
      public:
        EntryGuard(const EntryGuard&) = delete;
        EntryGuard& operator=(const EntryGuard&) = delete;
        ~EntryGuard() { lock_->unlock(); }

        State& operator*() const noexcept { return *state_; }
        State* operator->() const noexcept { return state_; }

      private:
        friend class KeyedStateMap;
        EntryGuard(RwLock* lock, State* state) noexcept : lock_(lock), state_(state) {}
        RwLock* lock_;
        State* state_;
    };

    KeyedStateMap()
        : shard_count_(store_detail::shard_count()),
          shard_shift_(64 - static_cast<uint64_t>(std::countr_zero(shard_count_))),
          shards_(std::make_unique<Shard[]>(shard_count_)) {
        const store_detail::HashKey key = store_detail::take_hash_key();
        k0_ = key.k0;
        k1_ = key.k1;
    }

    KeyedStateMap(const KeyedStateMap&) = delete;
    KeyedStateMap& operator=(const KeyedStateMap&) = delete;
    KeyedStateMap(KeyedStateMap&&) = delete;

    // Finds `key`, or inserts an owned copy of it with the state `make_default()` produces
    // (called at most once, only for a new key, under the shard's lock). If `make_default`
    // throws, nothing is inserted and the lock is released. The key is copied only when it
    // is inserted, so a check of an existing key allocates nothing.
    template <typename MakeDefault>
    EntryGuard entry_or_insert(std::string_view key, MakeDefault&& make_default) {
        const uint64_t h = siphash13_key_text(k0_, k1_, key);
        Shard& shard = shards_[(h << kTagBits) >> shard_shift_];
        shard.lock.lock();
        try {
            State* state =
                shard.table.find_or_insert(h, key, std::forward<MakeDefault>(make_default), *this);
            return EntryGuard(&shard.lock, state);
        } catch (...) {
            shard.lock.unlock();
            throw;
        }
    }

    uint64_t shard_count() const noexcept { return shard_count_; }

    uint64_t hash(std::string_view key) const noexcept { return siphash13_key_text(k0_, k1_, key); }

  private:
    static constexpr int kTagBits = 7;
    // The largest index a shard may grow to, and the most shards any machine gets (4 per
    // processor for up to 2^14 processors): their bits must not reach the shard or tag bits.
    static constexpr int kMaxSlotBits = 40;
    static constexpr int kMaxShardBits = 16;
    static_assert(kMaxSlotBits + kMaxShardBits <= 64 - kTagBits,
                  "slot bits, shard bits and tag bits of one hash must not overlap");

    struct Entry {
        std::string key;
        State state;
    };

    class Table {
      public:
        template <typename MakeDefault>
        State* find_or_insert(uint64_t h, std::string_view key, MakeDefault&& make_default,
                              const KeyedStateMap& map) {
            const uint8_t tag = tag_of(h);
            if (!tags_.empty()) {
                for (size_t slot = h & mask();; slot = (slot + 1) & mask()) {
                    const uint8_t t = tags_[slot];
                    if (t == kEmpty) break;
                    if (t == tag) {
                        Entry& entry = entries_[index_[slot]];
                        if (entry.key == key) return &entry.state;
                    }
                }
            }
            State state = make_default();
            if ((entries_.size() + 1) * 4 > tags_.size() * 3) grow(map);
            if (entries_.size() >= UINT32_MAX)
                raise_fatal("state table size cannot be represented");
            size_t slot = h & mask();
            while (tags_[slot] != kEmpty) slot = (slot + 1) & mask();
            entries_.push_back(Entry{std::string(key), std::move(state)});
            tags_[slot] = tag;
            index_[slot] = static_cast<uint32_t>(entries_.size() - 1);
            return &entries_.back().state;
        }

      private:
        static constexpr uint8_t kEmpty = 0;
        // The top seven bits of the hash, with the high bit set so that no tag is empty.
        static uint8_t tag_of(uint64_t h) noexcept {
            return static_cast<uint8_t>(0x80 | (h >> (64 - kTagBits)));
        }
        size_t mask() const noexcept { return tags_.size() - 1; }

        void grow(const KeyedStateMap& map) {
            const size_t slots = tags_.empty() ? 8 : tags_.size() * 2;
            if (slots > (size_t{1} << kMaxSlotBits)) {
                raise_fatal("state table size cannot be represented");
            }
            tags_.assign(slots, kEmpty);
            index_.assign(slots, 0);
            for (uint32_t i = 0; i < entries_.size(); ++i) {
                const uint64_t h = map.hash(entries_[i].key);
                size_t slot = h & mask();
                while (tags_[slot] != kEmpty) slot = (slot + 1) & mask();
                tags_[slot] = tag_of(h);
                index_[slot] = i;
            }
        }

        std::vector<uint8_t> tags_;
        std::vector<uint32_t> index_;
        std::vector<Entry> entries_;
    };

    struct alignas(64) Shard {
        RwLock lock;
        Table table;
    };

    uint64_t shard_count_;
    uint64_t shard_shift_;
    std::unique_ptr<Shard[]> shards_;
    uint64_t k0_ = 0;
    uint64_t k1_ = 0;
};

}  // namespace tolm
