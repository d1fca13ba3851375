// SharedStateMap: the per-client state of one algorithm in a named shared-memory region, so
// that every process of the host that opens the same name shares one state per key.
//
// Layout (one region, fixed size, nothing ever allocated in it after creation):
//
//   SharedTableHeader  magic, layout version, sizes, the settings the table was built for,
//                      the SipHash keys (drawn once by the creator), the time anchor
//   SharedShard[n]     one robust cross-process lock and the shard's counters, 128 bytes each
//   slots              n * slots_per_shard fixed-size slots (SharedSlot<State>), open
//                      addressing with linear probing inside each shard
//
// The header's first 16 bytes (magic, version) keep their place in every layout version, so
// that any library can tell another layout from damage. Everything after the version is only
// read once both match.
//
// A slot is 64 bytes for the algorithms' 16-byte states: the key's 64-bit SipHash (0 marks an
// empty slot), the key's length and up to kInlineKeyBytes of its bytes, and the state. A
// longer key is stored as a 128-bit SipHash digest under two other keys of the header (marked
// by length kDigestLength), so two long keys share a state only if both digests collide.
// With the table sized for 7/8 use and a margin for uneven shards, a million clients take
// about 75 bytes each.
//
// The hash h picks the shard from its top bits and the first probe slot from its low 32 bits
// (multiply-shift, so a shard needs no power-of-two size). Removal shifts later entries of
// the chain back (no tombstones), using the h each slot keeps.
//
// Locks and crashes. Each shard has one lock, taken for the whole of one check of a key in it
// (lookup, the algorithm's update, the sweep after an insertion). Before touching anything the
// holder marks the shard as being written and records the key's hash; it clears the mark just
// before it unlocks. When a process dies holding the lock, the next taker is told so
// (SharedLockState::owner_died) and, if the mark is set, rebuilds the shard from the slots
// that are intact (hash and key agree, right shard), dropping the key that was being written
// (it starts again as a new key) and any duplicate an interrupted shift left. A death can
// therefore cost the state of the one key being checked; a death during that rebuild can
// cost the shard's entries that were not yet put back. Keys of other shards are never
// touched.
//
// Full shards. A shard holds at most `entries_per_shard` keys. An insertion into a full shard
// first removes recovered keys (a full sweep at most once per eighth of a shard's worth of
// insertions, so its cost stays bounded per insertion), then, if still full, evicts the
// entry nearest to recovery among kEvictionSample entries at the sweep hand (the algorithm's
// `distance` measure). An evicted client starts again as a new client: it gains at most what
// it would have regained by waiting `distance` ms, the smallest in the sample. Evictions are
// counted per shard (evictions()).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/shared_region.hpp"
#include "store/siphash.hpp"

namespace tolm {

using platform::SharedRegionError;

inline constexpr uint64_t kSharedTableMagic = 0x314d48534d4c4f54;  // "TOLMSHM1" in memory order
inline constexpr uint32_t kSharedLayoutVersion = 1;
inline constexpr size_t kInlineKeyBytes = 39;
inline constexpr uint8_t kDigestLength = 0xff;
// Most clients one region may be sized for (about 20 GB of slots).
inline constexpr uint64_t kMaxSharedClients = uint64_t{1} << 28;
inline constexpr size_t kSharedSettingsBytes = 192;

// What a table is built for. Two openers share a region only when all of it matches.
struct SharedTableSettings {
    std::string description;  // the algorithm and its numbers, as the engine describes them
    uint64_t max_clients = 0;
};

struct SharedTableHeader {
    uint64_t magic;
    uint32_t layout_version;
    uint32_t header_bytes;
    uint64_t region_bytes;
    uint32_t slot_bytes;
    uint32_t state_bytes;
    uint32_t shard_count;
    uint32_t shard_bits;
    uint64_t slots_per_shard;
    uint64_t entries_per_shard;
    uint64_t max_clients;
    uint64_t hash_key[2];          // picks shard and slot
    uint64_t digest_key[4];        // two SipHash keys for the digest of a long key
    uint64_t anchor_wall_ms;       // the wall clock when the region was created
    uint64_t anchor_monotonic_ns;  // the host's monotonic clock at that moment
    char settings[kSharedSettingsBytes];
};

struct alignas(64) SharedShard {
    // First cache line: what every check touches.
    platform::SharedLockSpace lock;
    uint64_t writing_hash;  // the key the holder is checking
    uint32_t live;          // keys in the shard
    uint32_t writing;       // 1 while a holder may be changing the shard
    // Second: what insertions and diagnostics touch.
    uint64_t hand;                      // where the sweep and the eviction sample look next
    uint64_t inserts_since_full_sweep;  // insertions since the last full sweep
    uint64_t evictions;                 // entries evicted from this full shard
    uint64_t repairs;                   // rebuilds after a holder died mid-write
};
static_assert(sizeof(SharedShard) == 128);

template <typename State>
struct SharedSlot {
    uint64_t hash;  // 0: empty
    uint8_t key_length;
    char key[kInlineKeyBytes];
    State state;
};

namespace shared_store_testing {
// Test-only: called with the key once a check holds its shard's lock and has found or
// inserted the key's entry, so that a test can stop a process inside the critical section.
using PauseHook = void (*)(std::string_view key);
void set_pause_hook(PauseHook hook) noexcept;
PauseHook pause_hook() noexcept;
}  // namespace shared_store_testing

// Removes the region `name` (see platform::SharedRegion::remove).
bool remove_shared_region(std::string_view name);

// The untyped part: the region, its header and the arithmetic of the layout.
class SharedTable {
  public:
    // Opens (or creates) the region `name` for a table of `slot_bytes` slots holding
    // `state_bytes` states. Throws SharedRegionError for a bad name or size, a region that is
    // not a tolm table, another layout version, or other settings (naming both sides).
    SharedTable(std::string_view name, const SharedTableSettings& settings, uint32_t slot_bytes,
                uint32_t state_bytes);

    // The key as a slot stores it: its bytes, or its digest when it is too long to inline.
    struct StoredKey {
        uint8_t length;
        char bytes[kInlineKeyBytes];
        std::string_view view() const noexcept {
            return {bytes, length == kDigestLength ? size_t{16} : length};
        }
    };
    StoredKey stored_key(std::string_view key) const noexcept;
    // The hash of a stored key, never 0.
    uint64_t hash(const StoredKey& key) const noexcept;

    const SharedTableHeader& header() const noexcept { return *header_; }
    SharedShard& shard(uint64_t index) const noexcept { return shards_[index]; }
    uint64_t shard_index(uint64_t h) const noexcept {
        return header_->shard_bits == 0 ? 0 : h >> (64 - header_->shard_bits);
    }
    uint64_t home(uint64_t h) const noexcept {
        return ((h & 0xffffffffu) * header_->slots_per_shard) >> 32;
    }
    unsigned char* slots_of(uint64_t shard) const noexcept {
        return slots_ + shard * header_->slots_per_shard * header_->slot_bytes;
    }
    platform::SharedRegion& region() const noexcept { return *region_; }
    bool created() const noexcept { return region_->created(); }

    // Region sizes for `max_clients` clients of `slot_bytes` each; exposed for the benchmark's
    // bytes-per-client figure.
    struct Geometry {
        uint32_t shard_count, shard_bits;
        uint64_t slots_per_shard, entries_per_shard, region_bytes;
    };
    static Geometry geometry(uint64_t max_clients, uint32_t slot_bytes) noexcept;

  private:
    std::unique_ptr<platform::SharedRegion> region_;
    SharedTableHeader* header_ = nullptr;
    SharedShard* shards_ = nullptr;
    unsigned char* slots_ = nullptr;
};

// Whether an algorithm's recovery test also measures how far a state is from recovery:
// distance(state, now) is 0 when recovered, otherwise about the milliseconds until it is
// (UINT64_MAX when it never will be). Eviction picks the smallest.
template <typename R, typename State>
concept EvictionMeasure = requires(const R& recovery, const State& state, uint64_t now) {
    { recovery.possible() } noexcept -> std::convertible_to<bool>;
    { recovery(state, now) } noexcept -> std::convertible_to<bool>;
    { recovery.distance(state, now) } noexcept -> std::convertible_to<uint64_t>;
};

template <typename State>
class SharedStateMap {
    static_assert(std::is_trivially_copyable_v<State> && std::is_standard_layout_v<State>,
                  "a shared state must be plain bytes: other processes read it");
    using Slot = SharedSlot<State>;
    static_assert(offsetof(Slot, state) + sizeof(State) == sizeof(Slot),
                  "a state's tail must start right behind it");

  public:
    static constexpr size_t kExaminedPerInsert = 8;
    static constexpr size_t kEvictionSample = 16;

    // `tail_bytes`: storage a state keeps right behind itself in its slot, for a state whose
    // size is only known when the table is built (the sliding window's timestamps).
    SharedStateMap(std::string_view name, const SharedTableSettings& settings,
                   uint32_t tail_bytes = 0)
        : table_(name, settings, slot_stride(tail_bytes), sizeof(State) + tail_bytes),
          stride_(slot_stride(tail_bytes)) {}

    static uint32_t slot_stride(uint32_t tail_bytes) noexcept {
        return static_cast<uint32_t>((sizeof(Slot) + tail_bytes + 7) / 8 * 8);
    }

    class EntryGuard {
      public:
        EntryGuard(const EntryGuard&) = delete;
        EntryGuard& operator=(const EntryGuard&) = delete;
        ~EntryGuard() {
            if (shard_ != nullptr) map_->unlock(*shard_, shard_index_);
        }
        State& operator*() const noexcept { return *state_; }
        State* operator->() const noexcept { return state_; }
        bool inserted() const noexcept { return inserted_; }

        // As KeyedStateMap's: ends the use of the state; after an insertion the shard first
        // removes recovered keys near its hand and, when it is over its size, evicts.
        template <typename Recovery>
            requires EvictionMeasure<Recovery, State>
        void release(uint64_t now, const Recovery& recovery) {
            SharedShard* shard = std::exchange(shard_, nullptr);
            if (inserted_) map_->after_insert(*shard, shard_index_, hash_, now, recovery);
            map_->unlock(*shard, shard_index_);
        }

      private:
        friend class SharedStateMap;
        EntryGuard(SharedStateMap* map, SharedShard* shard, uint64_t shard_index, uint64_t hash,
                   State* state, bool inserted) noexcept
            : map_(map),
              shard_(shard),
              shard_index_(shard_index),
              hash_(hash),
              state_(state),
              inserted_(inserted) {}
        SharedStateMap* map_;
        SharedShard* shard_;
        uint64_t shard_index_;
        uint64_t hash_;
        State* state_;
        bool inserted_;
    };

    // Finds `key` or inserts it with `make_default()` (called at most once, under the shard's
    // lock; if it throws, nothing is inserted and the lock is released).
    template <typename MakeDefault>
    EntryGuard entry_or_insert(std::string_view key, MakeDefault&& make_default) {
        const SharedTable::StoredKey stored = table_.stored_key(key);
        const uint64_t h = table_.hash(stored);
        const uint64_t index = table_.shard_index(h);
        SharedShard& shard = table_.shard(index);
        lock(shard, index);
        shard.writing_hash = h;
        shard.writing = 1;
        try {
            Slot* slot = find(index, h, stored);
            bool inserted = false;
            if (slot == nullptr) {
                State state = make_default();
                slot = insert(index, h, stored, state);
                ++shard.live;
                inserted = true;
            }
            if (auto hook = shared_store_testing::pause_hook()) hook(key);
            return EntryGuard(this, &shard, index, h, &slot->state, inserted);
        } catch (...) {
            unlock(shard, index);
            throw;
        }
    }

    // Empties every shard, one shard lock at a time: checks running meanwhile see each shard
    // either before or after.
    void clear() {
        for (uint64_t index = 0; index < table_.header().shard_count; ++index) {
            with_shard(index, [&](SharedShard& shard) {
                for (uint64_t p = 0; p < slots(); ++p) slot_at(index, p)->hash = 0;
                shard.live = 0;
            });
        }
    }

    // Diagnostics for tests, benchmarks and operators; each takes the shard locks one at a
    // time.
    uint64_t evictions() const {
        uint64_t total = 0;
        for_each_shard([&](SharedShard& shard, uint64_t) { total += shard.evictions; });
        return total;
    }
    uint64_t repairs() const {
        uint64_t total = 0;
        for_each_shard([&](SharedShard& shard, uint64_t) { total += shard.repairs; });
        return total;
    }
    uint64_t size() const {
        uint64_t total = 0;
        for_each_shard([&](SharedShard& shard, uint64_t) { total += shard.live; });
        return total;
    }
    bool contains(std::string_view key) const {
        const SharedTable::StoredKey stored = table_.stored_key(key);
        const uint64_t h = table_.hash(stored);
        const uint64_t index = table_.shard_index(h);
        bool found = false;
        const_cast<SharedStateMap*>(this)->with_shard(index, [&](SharedShard&) {
            found = const_cast<SharedStateMap*>(this)->find(index, h, stored) != nullptr;
        });
        return found;
    }
    // The table check: every slot in use holds a key whose hash it keeps, in its own shard,
    // reachable from its first probe slot, once; each shard's count matches. Empty when all
    // holds, else what does not.
    std::string verify() const {
        std::string problems;
        for_each_shard([&](SharedShard& shard, uint64_t index) {
            problems += const_cast<SharedStateMap*>(this)->verify_shard(shard, index);
        });
        return problems;
    }
    const SharedTable& table() const noexcept { return table_; }

  private:
    Slot* slot_at(uint64_t shard, uint64_t position) const noexcept {
        return reinterpret_cast<Slot*>(table_.slots_of(shard) + position * stride_);
    }
    uint64_t slots() const noexcept { return table_.header().slots_per_shard; }
    uint64_t next(uint64_t position) const noexcept {
        return position + 1 == slots() ? 0 : position + 1;
    }

    static bool same_key(const Slot& slot, const SharedTable::StoredKey& key) noexcept {
        return slot.key_length == key.length &&
               std::memcmp(slot.key, key.bytes, key.view().size()) == 0;
    }

    Slot* find(uint64_t shard, uint64_t h, const SharedTable::StoredKey& key) const noexcept {
        uint64_t position = table_.home(h);
        for (uint64_t probes = 0; probes < slots(); ++probes, position = next(position)) {
            Slot* slot = slot_at(shard, position);
            if (slot->hash == 0) return nullptr;
            if (slot->hash == h && same_key(*slot, key)) return slot;
        }
        return nullptr;
    }

    // The shard always keeps an empty slot (its size exceeds its most entries by at least
    // two), so the probe ends.
    Slot* insert(uint64_t shard, uint64_t h, const SharedTable::StoredKey& key,
                 const State& state) noexcept {
        uint64_t position = table_.home(h);
        while (slot_at(shard, position)->hash != 0) position = next(position);
        Slot* slot = slot_at(shard, position);
        slot->key_length = key.length;
        std::memset(slot->key, 0, sizeof slot->key);
        std::memcpy(slot->key, key.bytes, key.view().size());
        slot->state = state;
        slot->hash = h;
        return slot;
    }

    // Empties `position` and shifts the rest of its chain back so no lookup loses its way.
    void erase_at(uint64_t shard, uint64_t position) noexcept {
        uint64_t hole = position;
        for (uint64_t probe = next(hole);; probe = next(probe)) {
            Slot* slot = slot_at(shard, probe);
            if (slot->hash == 0) break;
            const uint64_t home = table_.home(slot->hash);
            // Move it back when its home does not lie cyclically in (hole, probe].
            const bool stays =
                hole <= probe ? (hole < home && home <= probe) : (hole < home || home <= probe);
            if (!stays) {
                std::memcpy(static_cast<void*>(slot_at(shard, hole)), slot, stride_);
                hole = probe;
            }
        }
        slot_at(shard, hole)->hash = 0;
    }

    void lock(SharedShard& shard, uint64_t index) {
        if (table_.region().lock(shard.lock, static_cast<uint32_t>(index)) ==
            platform::SharedLockState::owner_died) {
            if (shard.writing != 0) {
                rebuild(shard, index);
                ++shard.repairs;
                shard.writing = 0;
            }
            table_.region().mark_consistent(shard.lock, static_cast<uint32_t>(index));
        }
    }
    void unlock(SharedShard& shard, uint64_t index) noexcept {
        shard.writing = 0;
        table_.region().unlock(shard.lock, static_cast<uint32_t>(index));
    }

    template <typename Body>
    void with_shard(uint64_t index, Body&& body) {
        SharedShard& shard = table_.shard(index);
        lock(shard, index);
        body(shard);
        table_.region().unlock(shard.lock, static_cast<uint32_t>(index));
    }
    template <typename Body>
    void for_each_shard(Body&& body) const {
        auto* self = const_cast<SharedStateMap*>(this);
        for (uint64_t i = 0; i < table_.header().shard_count; ++i) {
            self->with_shard(i, [&](SharedShard& shard) { body(shard, i); });
        }
    }

    // Whether a slot in use is intact: its key is well formed and hashes to what it keeps,
    // into this shard.
    bool intact(const Slot& slot, uint64_t shard) const noexcept {
        if (slot.key_length > kInlineKeyBytes && slot.key_length != kDigestLength) return false;
        SharedTable::StoredKey key{};
        key.length = slot.key_length;
        std::memcpy(key.bytes, slot.key, sizeof key.bytes);
        const uint64_t h = table_.hash(key);
        return h == slot.hash && table_.shard_index(h) == shard;
    }

    // After a holder died mid-write: keep the intact entries, once each, except the key it was
    // checking, and lay them out again.
    void rebuild(SharedShard& shard, uint64_t index) {
        std::vector<unsigned char> kept;
        for (uint64_t p = 0; p < slots(); ++p) {
            const Slot* slot = slot_at(index, p);
            if (slot->hash != 0 && slot->hash != shard.writing_hash && intact(*slot, index)) {
                const auto* bytes = reinterpret_cast<const unsigned char*>(slot);
                kept.insert(kept.end(), bytes, bytes + stride_);
            }
        }
        for (uint64_t p = 0; p < slots(); ++p) slot_at(index, p)->hash = 0;
        uint64_t live = 0;
        const uint64_t most = table_.header().entries_per_shard;
        for (size_t offset = 0; offset < kept.size(); offset += stride_) {
            Slot slot;
            std::memcpy(static_cast<void*>(&slot), kept.data() + offset, sizeof slot);
            SharedTable::StoredKey key{};
            key.length = slot.key_length;
            std::memcpy(key.bytes, slot.key, sizeof key.bytes);
            if (live == most || find(index, slot.hash, key) != nullptr) continue;
            Slot* placed = insert(index, slot.hash, key, slot.state);
            std::memcpy(static_cast<void*>(placed), kept.data() + offset, stride_);
            ++live;
        }
        shard.live = static_cast<uint32_t>(live);
        shard.hand = 0;
    }

    template <typename Recovery>
    void after_insert(SharedShard& shard, uint64_t index, uint64_t current, uint64_t now,
                      const Recovery& recovery) {
        ++shard.inserts_since_full_sweep;
        const bool removal = recovery.possible();
        if (removal) sweep(shard, index, now, recovery, kExaminedPerInsert, current);
        const uint64_t most = table_.header().entries_per_shard;
        if (shard.live <= most) return;
        if (removal && shard.inserts_since_full_sweep * 8 >= most) {
            sweep(shard, index, now, recovery, slots(), current);
            shard.inserts_since_full_sweep = 0;
        }
        while (shard.live > most) evict(shard, index, now, recovery, current);
    }

    // Examines `count` slots from the hand and removes the recovered keys among them (never
    // `current`, the key just inserted).
    template <typename Recovery>
    void sweep(SharedShard& shard, uint64_t index, uint64_t now, const Recovery& recovery,
               uint64_t count, uint64_t current) {
        uint64_t position = shard.hand % slots();
        for (uint64_t examined = 0; examined < count; ++examined) {
            Slot* slot = slot_at(index, position);
            if (slot->hash != 0 && slot->hash != current && recovery(slot->state, now)) {
                erase_at(index, position);  // another entry may now sit here: look again
                --shard.live;
                continue;
            }
            position = next(position);
        }
        shard.hand = position;
    }

    // Evicts the sampled entry nearest to recovery.
    template <typename Recovery>
    void evict(SharedShard& shard, uint64_t index, uint64_t now, const Recovery& recovery,
               uint64_t current) {
        uint64_t position = shard.hand % slots();
        uint64_t best = slots();
        uint64_t best_distance = UINT64_MAX;
        for (uint64_t sampled = 0, probes = 0; sampled < kEvictionSample && probes < slots();
             ++probes, position = next(position)) {
            const Slot* slot = slot_at(index, position);
            if (slot->hash == 0 || slot->hash == current) continue;
            ++sampled;
            const uint64_t distance = recovery.distance(slot->state, now);
            if (best == slots() || distance < best_distance) {
                best = position;
                best_distance = distance;
            }
        }
        shard.hand = position;
        if (best == slots()) return;  // only the new key: cannot happen with most >= 1
        erase_at(index, best);
        --shard.live;
        if (best_distance != 0) ++shard.evictions;
    }

    std::string verify_shard(SharedShard& shard, uint64_t index) {
        std::string problems;
        const std::string where = "shard " + std::to_string(index) + ": ";
        uint64_t live = 0;
        for (uint64_t p = 0; p < slots(); ++p) {
            const Slot* slot = slot_at(index, p);
            if (slot->hash == 0) continue;
            ++live;
            if (!intact(*slot, index)) {
                problems += where + "slot " + std::to_string(p) + " is damaged\n";
                continue;
            }
            SharedTable::StoredKey key{};
            key.length = slot->key_length;
            std::memcpy(key.bytes, slot->key, sizeof key.bytes);
            if (find(index, slot->hash, key) != slot) {
                problems += where + "slot " + std::to_string(p) + " is unreachable or doubled\n";
            }
        }
        if (live != shard.live) {
            problems += where + "counts " + std::to_string(shard.live) + " keys, holds " +
                        std::to_string(live) + "\n";
        }
        if (live > table_.header().entries_per_shard) problems += where + "over its size\n";
        return problems;
    }

    SharedTable table_;
    uint32_t stride_;  // bytes from one slot to the next
};

}  // namespace tolm
