#include "store/shared_state_map.hpp"

#include <bit>
#include <cmath>

#include "runtime/platform.hpp"

namespace tolm {
namespace shared_store_testing {
namespace {
std::atomic<PauseHook> g_pause_hook{nullptr};
}  // namespace
void set_pause_hook(PauseHook hook) noexcept {
    g_pause_hook.store(hook, std::memory_order_relaxed);
}
PauseHook pause_hook() noexcept {
    return g_pause_hook.load(std::memory_order_relaxed);
}
}  // namespace shared_store_testing

namespace {

constexpr size_t kHeaderBytes = (sizeof(SharedTableHeader) + 127) / 128 * 128;

uint64_t read_u64(const unsigned char* bytes) noexcept {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

std::string quoted(std::string_view name) {
    return "shared region '" + std::string(name) + "'";
}

std::string describe(const char* settings, uint64_t max_clients) {
    return std::string(settings) + " max_clients=" + std::to_string(max_clients);
}

struct Creation {
    const SharedTableSettings* settings;
    SharedTable::Geometry geometry;
    uint32_t slot_bytes;
    uint32_t state_bytes;
};

void initialise_table(platform::SharedRegion& region, void* context) {
    const Creation& creation = *static_cast<const Creation*>(context);
    auto* header = static_cast<SharedTableHeader*>(region.base());
    header->layout_version = kSharedLayoutVersion;
    header->header_bytes = static_cast<uint32_t>(kHeaderBytes);
    header->region_bytes = creation.geometry.region_bytes;
    header->slot_bytes = creation.slot_bytes;
    header->state_bytes = creation.state_bytes;
    header->shard_count = creation.geometry.shard_count;
    header->shard_bits = creation.geometry.shard_bits;
    header->slots_per_shard = creation.geometry.slots_per_shard;
    header->entries_per_shard = creation.geometry.entries_per_shard;
    header->max_clients = creation.settings->max_clients;
    unsigned char random[48];
    platform::fill_random(random, sizeof random);
    header->hash_key[0] = read_u64(random);
    header->hash_key[1] = read_u64(random + 8);
    for (size_t i = 0; i < 4; ++i) header->digest_key[i] = read_u64(random + 16 + 8 * i);
    const platform::WallClockReading wall = platform::read_wall_clock();
    header->anchor_wall_ms = wall.seconds < 0
                                 ? 0
                                 : static_cast<uint64_t>(wall.seconds) * 1000 +
                                       static_cast<uint64_t>(wall.nanoseconds) / 1000000;
    header->anchor_monotonic_ns = platform::monotonic_ns();
    std::memcpy(header->settings, creation.settings->description.data(),
                creation.settings->description.size());
    auto* shards =
        reinterpret_cast<SharedShard*>(static_cast<unsigned char*>(region.base()) + kHeaderBytes);
    for (uint32_t i = 0; i < creation.geometry.shard_count; ++i) {
        region.init_lock(shards[i].lock, i);
    }
    // Last: a region carries the magic only once everything else is in place.
    header->magic = kSharedTableMagic;
}

}  // namespace

SharedTable::Geometry SharedTable::geometry(uint64_t max_clients, uint32_t slot_bytes) noexcept {
    Geometry g{};
    // Enough shards that processes checking different keys rarely meet on a lock, and enough
    // keys per shard that the hash spreads them evenly.
    const uint64_t wanted = std::bit_ceil(std::max<uint64_t>(max_clients / 4096, 1));
    g.shard_count = static_cast<uint32_t>(std::clamp<uint64_t>(wanted, 8, 64));
    g.shard_bits = static_cast<uint32_t>(std::countr_zero(g.shard_count));
    const uint64_t per_shard = (max_clients + g.shard_count - 1) / g.shard_count;
    // Keys do not split evenly between shards: four standard deviations of margin keep a
    // shard from filling before the table holds max_clients, except with negligible odds.
    const auto margin =
        static_cast<uint64_t>(std::ceil(4.0 * std::sqrt(static_cast<double>(per_shard)))) + 4;
    g.entries_per_shard = per_shard + margin;
    // At most 7/8 of the slots in use, and always two empty ones (an insertion beyond the
    // limit holds one more entry until its release evicts).
    g.slots_per_shard = g.entries_per_shard + g.entries_per_shard / 7 + 2;
    g.region_bytes = kHeaderBytes + uint64_t{g.shard_count} * sizeof(SharedShard) +
                     uint64_t{g.shard_count} * g.slots_per_shard * slot_bytes;
    return g;
}

SharedTable::SharedTable(std::string_view name, const SharedTableSettings& settings,
                         uint32_t slot_bytes, uint32_t state_bytes) {
    platform::validate_shared_region_name(name);
    if (settings.max_clients == 0 || settings.max_clients > kMaxSharedClients) {
        throw SharedRegionError(quoted(name) + ": max_clients must be 1 to " +
                                std::to_string(kMaxSharedClients) + ", got " +
                                std::to_string(settings.max_clients));
    }
    if (settings.description.size() >= kSharedSettingsBytes ||
        settings.description.find('\0') != std::string::npos) {
        throw SharedRegionError(quoted(name) + ": settings text too long");
    }
    const Geometry ours = geometry(settings.max_clients, slot_bytes);
    Creation creation{&settings, ours, slot_bytes, state_bytes};
    region_ = platform::SharedRegion::open(name, ours.region_bytes, ours.shard_count,
                                           &initialise_table, &creation);

    const auto* base = static_cast<const unsigned char*>(region_->base());
    const size_t size = region_->size();
    if (size < 16) {
        throw SharedRegionError(quoted(name) + " is truncated: " + std::to_string(size) +
                                " bytes, not even a header");
    }
    if (read_u64(base) != kSharedTableMagic) {
        throw SharedRegionError(quoted(name) + " is not a tolm region (wrong magic number)");
    }
    uint32_t version = 0;
    std::memcpy(&version, base + 8, sizeof version);
    if (version != kSharedLayoutVersion) {
        throw SharedRegionError(quoted(name) + " has layout version " + std::to_string(version) +
                                "; this library reads layout version " +
                                std::to_string(kSharedLayoutVersion));
    }
    if (size < kHeaderBytes) {
        throw SharedRegionError(quoted(name) + " is truncated: " + std::to_string(size) +
                                " bytes, its header alone takes " + std::to_string(kHeaderBytes));
    }
    header_ = static_cast<SharedTableHeader*>(region_->base());
    const SharedTableHeader& h = *header_;
    // (Larger is fine: a Windows view covers whole pages.)
    if (h.region_bytes > size) {
        throw SharedRegionError(quoted(name) + " is truncated: " + std::to_string(size) +
                                " bytes, its header says " + std::to_string(h.region_bytes));
    }
    char theirs[kSharedSettingsBytes + 1] = {};
    std::memcpy(theirs, h.settings, kSharedSettingsBytes);
    if (settings.description != theirs || settings.max_clients != h.max_clients) {
        throw SharedRegionError(quoted(name) + " holds " + describe(theirs, h.max_clients) +
                                "; this engine asks for " +
                                describe(settings.description.c_str(), settings.max_clients) +
                                " (use another name, or remove the region)");
    }
    if (h.header_bytes != kHeaderBytes || h.slot_bytes != slot_bytes ||
        h.state_bytes != state_bytes || h.shard_count != ours.shard_count ||
        h.shard_bits != ours.shard_bits || h.slots_per_shard != ours.slots_per_shard ||
        h.entries_per_shard != ours.entries_per_shard || h.region_bytes != ours.region_bytes) {
        throw SharedRegionError(
            quoted(name) + " has the right settings but another geometry (" +
            std::to_string(h.shard_count) + " shards of " + std::to_string(h.slots_per_shard) +
            " slots of " + std::to_string(h.slot_bytes) + " bytes; this library uses " +
            std::to_string(ours.shard_count) + " of " + std::to_string(ours.slots_per_shard) +
            " of " + std::to_string(slot_bytes) + "): it is damaged");
    }
    shards_ =
        reinterpret_cast<SharedShard*>(static_cast<unsigned char*>(region_->base()) + kHeaderBytes);
    slots_ = reinterpret_cast<unsigned char*>(shards_ + h.shard_count);
}

SharedTable::StoredKey SharedTable::stored_key(std::string_view key) const noexcept {
    StoredKey stored{};
    if (key.size() <= kInlineKeyBytes) {
        stored.length = static_cast<uint8_t>(key.size());
        std::memcpy(stored.bytes, key.data(), key.size());
        return stored;
    }
    const uint64_t* k = header_->digest_key;
    const uint64_t d0 = siphash13_key_text(k[0], k[1], key);
    const uint64_t d1 = siphash13_key_text(k[2], k[3], key);
    stored.length = kDigestLength;
    std::memcpy(stored.bytes, &d0, 8);
    std::memcpy(stored.bytes + 8, &d1, 8);
    return stored;
}

uint64_t SharedTable::hash(const StoredKey& key) const noexcept {
    // The digest form hashes with a marker byte so that it never equals the hash of a
    // 16-byte key with the same bytes (lookups compare the length too; this keeps chains
    // apart).
    uint64_t h = siphash13_key_text(header_->hash_key[0], header_->hash_key[1], key.view());
    if (key.length == kDigestLength) h = siphash13_key_text(h, header_->hash_key[1], "digest");
    return h == 0 ? 1 : h;
}

bool remove_shared_region(std::string_view name) {
    return platform::SharedRegion::remove(name);
}

}  // namespace tolm
