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
//   - tag:   0x80 | (h >> 57), one byte per index slot, never 0 or 1 (which mark an empty slot
//            and a removed key's slot), so a probe compares a byte before it looks at an
//            entry, and only one entry in 128 with a different key is ever compared byte by
//            byte;
//   - slot:  h & (slots - 1), where a shard's index starts probing (linearly).
// The three stay disjoint while b + s <= 57, which the size limits below guarantee (up to
// 16384 processors), so the keys of one shard spread over its whole index.
//
// A shard's table keeps its entries densely and finds them through an open-addressed index of
// 32-bit entry numbers plus one tag byte and the hash's low 32 bits per slot (the bits let a
// rebuild move a slot without reading its entry). That keeps an IPv4-sized key with a 16-byte
// state under 96 bytes of memory, and a lookup of an existing key touches one tag, one index
// slot and one entry. The index is rebuilt, doubled if need be, when three-quarters of its slots
// are in use. Neither part ever stops a check to copy a whole shard: the entry list grows by
// segments that never move, and a rebuilt index takes over the old one's slots a few per
// insertion (see Table), so the longest check stays short however large a shard grows.
//
// Removal. A key whose state has fully recovered (its next check would decide exactly as for a
// key never seen, and so would every later check while the clock does not step back) is
// indistinguishable from an absent key, so the map may forget it; that is what bounds memory
// under a stream of ever-new keys. (A clock that steps back behind a forgotten key's last
// update gives it the full allowance of a new key, which it had earned when it was forgotten.)
// Three parts, kept apart so that another table layout only has to re-implement the third:
//   - the recovery test (what "recovered at now" means) belongs to each algorithm; the map only
//     calls it (RecoveryTest below);
//   - the sweep policy (sweep_after_insert): a new key pays for the removal of old ones. Each
//     insertion examines kExaminedPerInsert entries at the shard's sweep hand, the whole shard
//     is swept once in the insertions just before its index is rebuilt (so that recovered keys
//     make room instead of growth), and a shard that ends up sparse is shrunk;
//   - the table mechanics (Table): erase the entry at a position, iterate positions, rebuild
//     the index at another size.
// The sweep runs only after the insertion's caller is done with the new key's state, under the
// shard lock that the caller already holds, and with that caller's own clock reading: it adds
// no lock, no thread and no clock reading. A check of an existing key never sweeps.
//
// Locks: each shard's RwLock guards its table and is taken only exclusively, by
// entry_or_insert, and held by the returned EntryGuard until the caller is done with the
// state. A caller holds at most one shard lock at a time; the engine calls in with its own
// engine lock held (engine lock first, shard lock second, never the reverse).
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <concepts>
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

// What an algorithm tells its map so that the map may forget keys:
//   possible(): whether any entry can ever recover under the algorithm's settings; when false
//       the map keeps every entry, as if removal did not exist;
//   recovery(state, now): true only if a check reading `now` would leave exactly the state and
//       give exactly the verdict of a key never seen (whose default is made at `now`), and so
//       would a check at any later time. It must be computed with the check's own arithmetic,
//       and must be false for a `now` earlier than the state's last update.
template <typename R, typename State>
concept RecoveryTest = requires(const R& recovery, const State& state, uint64_t now) {
    { recovery.possible() } noexcept -> std::convertible_to<bool>;
    { recovery(state, now) } noexcept -> std::convertible_to<bool>;
};

template <typename State>
class KeyedStateMap {
    struct Shard;

  public:
    // Exclusive access to one key's state; holds the shard's write lock until released or
    // destroyed.
    class EntryGuard {
      public:
        EntryGuard(const EntryGuard&) = delete;
        EntryGuard& operator=(const EntryGuard&) = delete;
        // The lock came from entry_or_insert, a hand-off the analysis cannot follow.
        ~EntryGuard() TOLM_NO_THREAD_SAFETY_ANALYSIS {
            if (shard_ != nullptr) shard_->lock.unlock();
        }

        State& operator*() const noexcept { return *state_; }
        State* operator->() const noexcept { return state_; }
        // Whether the lookup that made this guard inserted the key.
        bool inserted() const noexcept { return inserted_; }

        // Ends the caller's use of the state and releases the shard's lock. When the lookup
        // inserted the key, the shard first removes entries that `recovery` reports recovered
        // at `now`, which must be the clock reading the caller made for this check. The state
        // must not be touched afterwards. A failure while shrinking the table (out of memory)
        // leaves the table as it was and still releases the lock.
        template <typename Recovery>
            requires RecoveryTest<Recovery, State>
        void release(uint64_t now, const Recovery& recovery) TOLM_NO_THREAD_SAFETY_ANALYSIS {
            Shard* shard = std::exchange(shard_, nullptr);
            struct Unlock {
                Shard* shard;
                ~Unlock() { shard->lock.unlock(); }
            } unlock{shard};
            if constexpr (requires { recovery.distance(*state_, now); }) {
                // The new key is the shard's last entry until something is erased.
                if (inserted_ && map_->shard_cap_ != 0 && shard->table.size() > map_->shard_cap_) {
                    map_->evict_one(*shard, now, recovery);
                }
            }
            if (inserted_ && recovery.possible() &&
                map_->removal_enabled_.load(std::memory_order_relaxed)) {
                map_->sweep_after_insert(*shard, now, recovery);
            }
        }

      private:
        friend class KeyedStateMap;
        EntryGuard(KeyedStateMap* map, Shard* shard, State* state, bool inserted) noexcept
            : map_(map), shard_(shard), state_(state), inserted_(inserted) {}
        KeyedStateMap* map_;
        Shard* shard_;  // null once released
        State* state_;
        bool inserted_;
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
    //
    // The shard's lock leaves this function held, owned by the returned guard: a hand-off the
    // analysis cannot follow, so it is left out of it.
    template <typename MakeDefault>
    EntryGuard entry_or_insert(std::string_view key,
                               MakeDefault&& make_default) TOLM_NO_THREAD_SAFETY_ANALYSIS {
        const uint64_t h = siphash13_key_text(k0_, k1_, key);
        Shard& shard = shards_[shard_index(h)];
        shard.lock.lock();
        try {
            const auto found =
                shard.table.find_or_insert(h, key, std::forward<MakeDefault>(make_default), *this);
            return EntryGuard(this, &shard, found.state, found.inserted);
        } catch (...) {
            shard.lock.unlock();
            throw;
        }
    }

    uint64_t shard_count() const noexcept { return shard_count_; }

    uint64_t hash(std::string_view key) const noexcept { return siphash13_key_text(k0_, k1_, key); }

    // Diagnostics for the core's own tests and benchmarks. The host bindings reach a map only
    // through an engine, which offers none of these: for a caller the map still has no size
    // query, no lookup without insertion and no iteration. Each takes the shard locks one at a
    // time.
    //
    // Live entries over all shards.
    size_t size() const {
        size_t total = 0;
        for (uint64_t i = 0; i < shard_count_; ++i) {
            Shard& shard = shards_[i];
            LockedShard locked(shard);
            total += shard.table.size();
        }
        return total;
    }
    // Index slots over all shards: shows the tables growing and shrinking.
    size_t slot_count() const {
        size_t total = 0;
        for (uint64_t i = 0; i < shard_count_; ++i) {
            Shard& shard = shards_[i];
            LockedShard locked(shard);
            total += shard.table.slot_count();
        }
        return total;
    }
    bool contains(std::string_view key) const {
        const uint64_t h = hash(key);
        Shard& shard = shards_[shard_index(h)];
        LockedShard locked(shard);
        return shard.table.contains(h, key);
    }
    uint64_t shard_of(std::string_view key) const noexcept { return shard_index(hash(key)); }
    // Shards whose index is part way through a rebuild.
    size_t shards_rebuilding() const {
        size_t total = 0;
        for (uint64_t i = 0; i < shard_count_; ++i) {
            Shard& shard = shards_[i];
            LockedShard locked(shard);
            total += shard.table.moving();
        }
        return total;
    }
    // Caps the clients kept (0: no cap, the default). Each shard keeps at most
    // ceil(max_clients / shard_count()) of them: a new key beyond that evicts, of a sample of
    // its shard's other keys, the one nearest to recovery (the one that gives away the least
    // allowance). Set before the map is used.
    void set_max_clients(uint64_t max_clients) noexcept {
        shard_cap_ = max_clients == 0 ? 0 : (max_clients + shard_count_ - 1) / shard_count_;
    }
    // Keys evicted to stay within the cap, over all shards.
    uint64_t evictions() const {
        uint64_t total = 0;
        for (uint64_t i = 0; i < shard_count_; ++i) {
            LockedShard locked(shards_[i]);
            total += shards_[i].evictions;
        }
        return total;
    }

    // Removal on (the default) or off; off keeps every entry, as if removal did not exist.
    void set_removal_enabled(bool enabled) noexcept {
        removal_enabled_.store(enabled, std::memory_order_relaxed);
    }

  private:
    static constexpr int kTagBits = 7;
    // The largest index a shard may grow to, and the most shards any machine gets (4 per
    // processor for up to 2^14 processors): their bits must not reach the shard or tag bits.
    static constexpr int kMaxSlotBits = 40;
    static constexpr int kMaxShardBits = 16;
    static_assert(kMaxSlotBits + kMaxShardBits <= 64 - kTagBits,
                  "slot bits, shard bits and tag bits of one hash must not overlap");

    // Sweep policy.
    //
    // Entries examined at the sweep hand per inserted key. The hand walks the dense entries,
    // so one pass over a shard of n live entries takes n / k insertions and a recovered entry
    // waits about half a pass: live entries settle near (1 + 1/(2k)) times the keys that
    // arrive within one recovery period, about 6% above it for k = 8, for a few nanoseconds
    // per insertion (the states are read in memory order).
    static constexpr size_t kExaminedPerInsert = 8;
    // Before a shard's index is rebuilt, the whole shard is swept once, so that the rebuild
    // sees what recovered keys leave and stays at its size when they leave enough. The pass
    // is spread over the last 1/16 of the slots' worth of insertions before the rebuild (at
    // most 3/4 of the slots examined over them: about 12 more examinations per insertion),
    // so no single insertion examines the whole shard. One pass per rebuild: a pass that
    // frees too little lets the index grow as it would have.
    static constexpr size_t kPassWindowDivisor = 16;

    struct Entry {
        std::string key;
        State state;
    };

    // The dense entry list of one shard, kept in segments that never move once allocated:
    // the first ones small (16, 16, 32, ... entries, so that a small table stays small), then
    // 4096 entries each. Growing the list allocates at most one segment and moves nothing, so
    // no insertion pays for copying a whole shard, and an entry stays where it is until it is
    // erased or the last entry is moved into its place.
    class EntryList {
      public:
        size_t size() const noexcept { return size_; }
        Entry& operator[](size_t position) noexcept {
            const Place place = locate(position);
            return segments_[place.segment][place.offset];
        }
        const Entry& operator[](size_t position) const noexcept {
            const Place place = locate(position);
            return segments_[place.segment][place.offset];
        }
        Entry& back() noexcept { return (*this)[size_ - 1]; }

        void push_back(Entry&& entry) {
            const size_t segment = locate(size_).segment;
            if (segment == segments_.size()) {
                segments_.emplace_back();
                segments_.back().reserve(segment_capacity(segment));
            }
            segments_[segment].push_back(std::move(entry));
            ++size_;
        }
        void pop_back() noexcept {
            --size_;
            segments_[locate(size_).segment].pop_back();
        }
        // Gives back the segments past the last entry.
        void release_unused() {
            segments_.resize(size_ == 0 ? 0 : locate(size_ - 1).segment + 1);
            segments_.shrink_to_fit();
        }

      private:
        static constexpr size_t kFirstSegment = 16;
        static constexpr size_t kLargestSegment = 4096;
        static constexpr int kLargestBits = std::countr_zero(kLargestSegment);
        static_assert(std::has_single_bit(kFirstSegment) && std::has_single_bit(kLargestSegment));

        struct Place {
            size_t segment, offset;
        };
        // Segment 0 holds positions [0, 16); segment s >= 1 holds [8 << s, 16 << s) until the
        // segments reach 4096 entries, from where each holds the next 4096.
        static Place locate(size_t position) noexcept {
            if (position < kFirstSegment) return {0, position};
            if (position < kLargestSegment) {
                const size_t segment = static_cast<size_t>(std::bit_width(position)) - 4;
                return {segment, position - (size_t{8} << segment)};
            }
            return {(position >> kLargestBits) + (kLargestBits - 4),
                    position & (kLargestSegment - 1)};
        }
        static size_t segment_capacity(size_t segment) noexcept {
            return segment == 0 ? kFirstSegment : std::min(size_t{8} << segment, kLargestSegment);
        }

        std::vector<std::vector<Entry>> segments_;
        size_t size_ = 0;
    };

    // Table mechanics: one shard's entries and index. Positions 0 .. size()-1 name the live
    // entries; erase_at keeps every entry that a walk from position 0 upwards has not reached
    // at a position it has not reached yet (see erase_at), so a sweep hand may remove while it
    // walks.
    //
    // The index is open-addressed (linear probing): one tag byte per slot and the number of the
    // entry the slot points at. A removed key's index slot becomes a tombstone: a slot that
    // lookups step over and an insertion may reuse, so every probe chain stays intact without
    // touching any other entry. (Backward-shift deletion, the alternative, has to hash the key
    // of every entry it might move back, a cache miss into the entries for each, and cost a
    // removal more than an insertion.) Tombstones count as used slots: when used slots reach
    // three-quarters of the index the next insertion rebuilds it, at the same size when the
    // live entries alone fill no more than 5/8 of it (so at least 1/8 were tombstones, whose
    // removals pay for the rebuild), and at twice the size otherwise. A tombstone followed by
    // an empty slot ends no chain that needs it, so removal turns it, and the tombstones right
    // before it, back into empty slots at once.
    //
    // A rebuild happens a little at a time. It allocates the new index and makes it current;
    // the old one stays beside it as `previous_`, and every insertion moves the next
    // kMovedPerInsert of its slots over (hashing their keys again) until none are left. Until
    // then a key is in exactly one of the two: a lookup tries the current index, then the
    // previous one; an insertion goes into the current one; a moved slot becomes a tombstone
    // in the previous index so that its chains stay intact. The entries do not move. The
    // entries still waiting in the previous index count as used slots of the current one, so
    // the current index never fills before the move is done; should it need a rebuild of its
    // own first (only possible when many removed keys leave tombstones behind during the
    // move), it is rebuilt from the entry list at once.
    class Table {
      public:
        struct Found {
            State* state;
            bool inserted;
        };

        template <typename MakeDefault>
        Found find_or_insert(uint64_t h, std::string_view key, MakeDefault&& make_default,
                             const KeyedStateMap& map) {
            const uint8_t tag = tag_of(h);
            if (State* state = find(h, tag, key)) return {state, false};
            State state = make_default();
            if (entries_.size() >= UINT32_MAX)
                raise_fatal("state table size cannot be represented");
            if (current_.slots == 0) {
                current_ = Index::with_slots(kMinSlots);
            } else if (next_insert_rebuilds()) {
                start_rebuild(next_insert_grows() ? current_.slots * 2 : current_.slots, map);
            }
            if (moving()) move_slots(kMovedPerInsert, map);
            entries_.push_back(Entry{std::string(key), std::move(state)});
            current_.place(h, tag, static_cast<uint32_t>(entries_.size() - 1));
            return {&entries_.back().state, true};
        }

        bool contains(uint64_t h, std::string_view key) const noexcept {
            return const_cast<Table*>(this)->find(h, tag_of(h), key) != nullptr;
        }

        size_t size() const noexcept { return entries_.size(); }
        // The current index's slots (a previous index still being emptied is not counted).
        size_t slot_count() const noexcept { return current_.slots; }
        // Whether a previous index is still being moved into the current one.
        bool moving() const noexcept { return previous_.slots != 0; }
        // How many rebuilds the index has had; a sweep pass belongs to one of them.
        uint64_t rebuilds() const noexcept { return rebuilds_; }
        // Insertions that can still come before one rebuilds the index.
        size_t insertions_before_rebuild() const noexcept {
            const size_t limit = current_.slots * 3 / 4;
            const size_t used = projected_used();
            return used >= limit ? 0 : limit - used;
        }
        // Whether the next insertion doubles the index: its used slots (live and tombstones)
        // would pass three-quarters, and the live entries alone would fill more than 5/8.
        bool next_insert_grows() const noexcept {
            return next_insert_rebuilds() && (entries_.size() + 1) * 8 > current_.slots * 5;
        }
        const State& state_at(size_t position) const noexcept { return entries_[position].state; }

        // Removes the entry at `position`. The last entry moves into its place (unless it was
        // the last), so the dense list stays dense and no other entry moves: a walk that has
        // examined the positions below `position` finds every entry it has not examined at
        // `position` or above. Touches the removed entry, the last one and their index slots.
        void erase_at(size_t position, const KeyedStateMap& map) noexcept {
            const uint32_t removed = static_cast<uint32_t>(position);
            const SlotRef gone = slot_of(map.hash(entries_[removed].key), removed);
            gone.index->bury(gone.slot);
            const uint32_t last = static_cast<uint32_t>(entries_.size() - 1);
            if (removed != last) {
                const SlotRef moved = slot_of(map.hash(entries_[last].key), last);
                moved.index->entries[moved.slot] = removed;
                entries_[removed] = std::move(entries_[last]);
            }
            entries_.pop_back();
        }

        // A table is sparse once fewer than one slot in 8 holds a live entry.
        bool sparse() const noexcept {
            return current_.slots > kMinSlots && entries_.size() * 8 < current_.slots;
        }
        // Rebuilds the index at once, at a size that leaves it between a quarter and half
        // full, and gives the entry list's unused segments back to the allocator. Growth (at
        // 3/4) and the next shrink (at 1/8) are then both a multiple of the live entries away,
        // so the rebuild's cost is spread over as many insertions or removals; and the live
        // entries are at most 1/8 of the old size, so it hashes few keys.
        void shrink(const KeyedStateMap& map) {
            const size_t slots = std::bit_ceil(std::max(entries_.size() * 2, kMinSlots));
            if (slots < current_.slots) rebuild_at_once(slots, map);
            entries_.release_unused();
        }

      private:
        static constexpr uint8_t kEmpty = 0;
        static constexpr uint8_t kTombstone = 1;
        static constexpr uint8_t kLive = 0x80;  // set in every live entry's tag
        static constexpr size_t kMinSlots = 8;
        // Slots of the previous index moved per insertion. A doubling leaves the current
        // index at most 3/8 used by the previous one's entries, and a rebuild at the same size
        // at most 5/8, with 1/8 of the slots to go before it is due again: moving 16 slots per
        // insertion finishes either well before (after slots / 16 insertions).
        static constexpr size_t kMovedPerInsert = 16;
        // The largest index whose slot a key's low 32 hash bits alone determine.
        static constexpr size_t kLowHashSlots = size_t{1} << 32;

        // The top seven bits of the hash, with the high bit set so that no tag is empty or a
        // tombstone.
        static uint8_t tag_of(uint64_t h) noexcept {
            return static_cast<uint8_t>(kLive | (h >> (64 - kTagBits)));
        }

        struct Index {
            std::unique_ptr<uint8_t[]> tags;      // kEmpty, kTombstone or a live tag
            std::unique_ptr<uint32_t[]> entries;  // the entry number, where the tag is live
            // The low 32 bits of the entry's key hash, where the tag is live: moving the slot
            // to a new index of up to 2^32 slots then reads neither the entry nor its key,
            // each of which would be a cache miss in a large table.
            std::unique_ptr<uint32_t[]> low_hashes;
            size_t slots = 0;  // a power of two, or 0 before the first
            size_t used = 0;   // slots that are not empty
            size_t live = 0;   // slots with a live tag

            // All slots empty; the entry numbers are left unwritten until a slot is used.
            static Index with_slots(size_t slots) {
                Index index;
                index.tags = std::make_unique<uint8_t[]>(slots);
                index.entries.reset(new uint32_t[slots]);
                index.low_hashes.reset(new uint32_t[slots]);
                index.slots = slots;
                return index;
            }
            size_t mask() const noexcept { return slots - 1; }

            // Puts `entry` in the first slot of its chain that holds no live entry.
            void place(uint64_t h, uint8_t tag, uint32_t entry) noexcept {
                size_t slot = h & mask();
                while (tags[slot] & kLive) slot = (slot + 1) & mask();
                used += tags[slot] == kEmpty;
                ++live;
                tags[slot] = tag;
                entries[slot] = entry;
                low_hashes[slot] = static_cast<uint32_t>(h);
            }

            void bury(size_t slot) noexcept {
                --live;
                if (tags[(slot + 1) & mask()] != kEmpty) {
                    tags[slot] = kTombstone;
                    return;
                }
                // Nothing continues past an empty slot, so this slot and the tombstones before
                // it end no chain that needs them.
                do {
                    tags[slot] = kEmpty;
                    --used;
                    slot = (slot - 1) & mask();
                } while (tags[slot] == kTombstone);
            }
        };

        struct SlotRef {
            Index* index;
            size_t slot;
        };

        State* find_in(const Index& index, uint64_t h, uint8_t tag, std::string_view key) noexcept {
            if (index.slots == 0) return nullptr;
            for (size_t slot = h & index.mask();; slot = (slot + 1) & index.mask()) {
                const uint8_t t = index.tags[slot];
                if (t == kEmpty) return nullptr;
                if (t == tag) {
                    Entry& entry = entries_[index.entries[slot]];
                    if (entry.key == key) return &entry.state;
                }
            }
        }
        State* find(uint64_t h, uint8_t tag, std::string_view key) noexcept {
            if (State* state = find_in(current_, h, tag, key)) return state;
            return moving() ? find_in(previous_, h, tag, key) : nullptr;
        }

        // The index slot that points at entry `entry`, whose key hashes to `h`. It lies on
        // the key's probe chain in one of the two indexes, before the chain's first empty slot.
        SlotRef slot_of(uint64_t h, uint32_t entry) noexcept {
            for (Index* index : {&current_, &previous_}) {
                if (index->slots == 0) continue;
                for (size_t slot = h & index->mask(); index->tags[slot] != kEmpty;
                     slot = (slot + 1) & index->mask()) {
                    if ((index->tags[slot] & kLive) && index->entries[slot] == entry) {
                        return {index, slot};
                    }
                }
            }
            abort_with_message("state table index lost an entry");
        }

        // Used slots of the current index once the previous one's entries are all moved in.
        size_t projected_used() const noexcept { return current_.used + previous_.live; }
        // The index is kept at most three-quarters used, so that probe chains stay short.
        bool next_insert_rebuilds() const noexcept {
            return (projected_used() + 1) * 4 > current_.slots * 3;
        }

        // Makes a new index of `slots` slots current; the old one is moved over by later
        // insertions. The size is checked first, so a failure leaves the table as it was.
        void start_rebuild(size_t slots, const KeyedStateMap& map) {
            check_slots(slots);
            ++rebuilds_;
            if (moving()) {
                rebuild_at_once(slots, map);
                return;
            }
            previous_ = std::exchange(current_, Index::with_slots(slots));
            moved_ = 0;
        }

        // Moves up to `count` slots of the previous index into the current one, and drops
        // the previous index once all are moved.
        void move_slots(size_t count, const KeyedStateMap& map) noexcept {
            const size_t end = std::min(previous_.slots, moved_ + count);
            const bool low_bits_place = current_.slots <= kLowHashSlots;
            for (; moved_ < end; ++moved_) {
                const uint8_t tag = previous_.tags[moved_];
                if (!(tag & kLive)) continue;
                const uint32_t entry = previous_.entries[moved_];
                const uint64_t h =
                    low_bits_place ? previous_.low_hashes[moved_] : map.hash(entries_[entry].key);
                current_.place(h, tag, entry);
                previous_.tags[moved_] = kTombstone;
                --previous_.live;
            }
            if (moved_ == previous_.slots) previous_ = Index{};
        }

        // Builds a new index of `slots` slots for every entry and only then replaces both the
        // current and any previous one, so a failure leaves the table as it was.
        void rebuild_at_once(size_t slots, const KeyedStateMap& map) {
            check_slots(slots);
            Index fresh = Index::with_slots(slots);
            for (uint32_t i = 0; i < entries_.size(); ++i) {
                const uint64_t h = map.hash(entries_[i].key);
                fresh.place(h, tag_of(h), i);
            }
            current_ = std::move(fresh);
            previous_ = Index{};
            ++rebuilds_;
        }

        static void check_slots(size_t slots) {
            if (slots > (size_t{1} << kMaxSlotBits)) {
                raise_fatal("state table size cannot be represented");
            }
        }

        Index current_;
        Index previous_;    // being moved into current_; no slots once it is done
        size_t moved_ = 0;  // previous_'s slots below this one have been moved
        uint64_t rebuilds_ = 0;
        EntryList entries_;
    };

    struct alignas(64) Shard {
        RwLock lock;
        Table table TOLM_GUARDED_BY(lock);
        size_t hand TOLM_GUARDED_BY(lock) = 0;  // the next position the incremental sweep examines
        // The pre-rebuild pass: the rebuild it belongs to (the table's rebuilds() when it
        // began) and the examinations it has left.
        uint64_t pass_rebuilds TOLM_GUARDED_BY(lock) = UINT64_MAX;
        size_t pass_left TOLM_GUARDED_BY(lock) = 0;
        uint64_t evictions TOLM_GUARDED_BY(lock) = 0;  // keys evicted to stay within the cap
    };

    // Entries a full shard compares to pick the one it evicts.
    static constexpr size_t kEvictionSample = 8;

    // Holds one shard's lock for a diagnostic read.
    class TOLM_SCOPED_CAPABILITY LockedShard {
      public:
        explicit LockedShard(Shard& shard) noexcept TOLM_ACQUIRE(shard.lock) : shard_(shard) {
            shard_.lock.lock();
        }
        ~LockedShard() TOLM_RELEASE() { shard_.lock.unlock(); }
        LockedShard(const LockedShard&) = delete;
        LockedShard& operator=(const LockedShard&) = delete;

      private:
        Shard& shard_;
    };

    uint64_t shard_index(uint64_t h) const noexcept { return (h << kTagBits) >> shard_shift_; }

    // Runs after an insertion into `shard`, with its lock held and the new key's state no
    // longer in use. Every step only removes entries that `recovered` reports recovered at
    // `now`; positions move (erase_at), the index is rebuilt (shrink), but no entry that is
    // kept changes.
    template <typename Recovery>
    void sweep_after_insert(Shard& shard, uint64_t now, const Recovery& recovered)
        TOLM_REQUIRES(shard.lock) {
        Table& table = shard.table;
        size_t budget = kExaminedPerInsert;
        // Close to a rebuild: make sure one whole pass is done by the time it comes, so that
        // the rebuild sees what the recovered entries leave.
        const size_t room = table.insertions_before_rebuild();
        const bool passing = room <= table.slot_count() / kPassWindowDivisor;
        if (passing) {
            if (shard.pass_rebuilds != table.rebuilds()) {
                shard.pass_rebuilds = table.rebuilds();
                shard.pass_left = table.size();
            }
            // Spread what is left of the pass evenly over the insertions left (rounded up).
            budget = std::max(budget, (shard.pass_left + room) / (room + 1));
        }
        for (size_t examined = 0; examined < budget && table.size() > 0; ++examined) {
            if (shard.hand >= table.size()) shard.hand = 0;
            if (recovered(table.state_at(shard.hand), now)) {
                table.erase_at(shard.hand, *this);  // another entry now sits at the hand
            } else {
                ++shard.hand;
            }
        }
        if (passing) shard.pass_left -= std::min(shard.pass_left, budget);
        if (table.sparse()) table.shrink(*this);
    }

    // Evicts, of up to kEvictionSample entries from the sweep hand on, the one whose state
    // is nearest to recovery; the new key (the last entry) is never a candidate.
    template <typename Recovery>
    void evict_one(Shard& shard, uint64_t now, const Recovery& recovery) TOLM_REQUIRES(shard.lock) {
        Table& table = shard.table;
        const size_t others = table.size() - 1;
        if (others == 0) return;
        size_t position = shard.hand < others ? shard.hand : 0;
        size_t best = position;
        uint64_t best_distance = UINT64_MAX;
        for (size_t sampled = 0; sampled < kEvictionSample && sampled < others; ++sampled) {
            const uint64_t distance = recovery.distance(table.state_at(position), now);
            if (distance < best_distance || sampled == 0) {
                best = position;
                best_distance = distance;
            }
            if (++position == others) position = 0;
        }
        shard.hand = position;
        table.erase_at(best, *this);
        ++shard.evictions;
    }

    uint64_t shard_cap_ = 0;  // most entries per shard; 0 for no cap
    uint64_t shard_count_;
    uint64_t shard_shift_;
    std::unique_ptr<Shard[]> shards_;
    uint64_t k0_ = 0;
    uint64_t k1_ = 0;
    std::atomic<bool> removal_enabled_{true};
};

}  // namespace tolm
