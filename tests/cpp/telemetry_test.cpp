// The telemetry queue's bound in bytes: every text of an event is kept once and cut to
// kMaxEventTextBytes, at a UTF-8 character boundary, while the check's own result keeps the
// texts whole.
#include <string>

#include "test_support.hpp"

namespace tolm::testing {
namespace {

class TelemetryTextTest : public ClockTest {};

TEST_F(TelemetryTextTest, LongTextsAreCutInTheQueueOnly) {
    Engine engine(make_config("token_bucket", 10, 1, "active", std::string(1000, 'k')), clock_);
    const std::string route(20'000, 'r'), ip(300, '1'), identity(5000, 'i');
    const CheckResult r = engine.check(identity, ip, route, kT);
    EXPECT_EQ(std::tie(r.record.route, r.record.ip, r.record.identity),
              std::make_tuple(route, ip, identity));

    const std::vector<TelemetryEvent> queued = events(engine);
    ASSERT_EQ(queued.size(), 1u);
    const TelemetryEvent& e = queued[0];
    const std::string_view cut_route = std::string_view(route).substr(0, kMaxEventTextBytes);
    const std::string_view cut_ip = std::string_view(ip).substr(0, kMaxEventTextBytes);
    const std::string_view cut_identity = std::string_view(identity).substr(0, kMaxEventTextBytes);
    EXPECT_EQ(std::tie(e.route, e.record.route), std::make_tuple(cut_route, cut_route));
    EXPECT_EQ(std::tie(e.ip, e.record.ip), std::make_tuple(cut_ip, cut_ip));
    EXPECT_EQ(std::tie(e.identity, e.record.identity),
              std::make_tuple(std::string(cut_identity), std::string(cut_identity)));
    EXPECT_EQ(e.api_key, std::string(kMaxEventTextBytes, 'k'));
    // Everything else is as for short texts.
    EXPECT_EQ(numbers(e.record), numbers(r.record));
    EXPECT_EQ(std::tie(e.record.decision, e.record.reason, e.record.mode, e.mode, e.event_type),
              std::make_tuple("allow", "within_limit", "active", "active", "decision"));
}

TEST(TelemetryTextCutTest, KeepsWholeUtf8CharactersAndBoundedStorage) {
    const std::string pad(kMaxEventTextBytes - 2, 'a');
    const std::pair<std::string, size_t> cases[] = {
        {std::string(kMaxEventTextBytes, 'a'), kMaxEventTextBytes},  // fits exactly
        {pad + "a\xC3\xA9", kMaxEventTextBytes - 1},                 // 2-byte char split
        {pad + "\xF0\x9F\x98\x80", kMaxEventTextBytes - 2},          // 4-byte char split
        {pad + "\xC3\xA9\xC3\xA9", kMaxEventTextBytes},              // ends on a boundary
        {std::string(kMaxEventTextBytes + 9, '\x80'), kMaxEventTextBytes - 3},  // not UTF-8
    };
    for (const auto& [text, kept] : cases) {
        std::string target;
        QueuedEvent::assign_text(target, text);
        EXPECT_EQ(target, text.substr(0, kept)) << kept;
    }
    // A slot's text reused for ever longer and shorter texts never holds more than the bound.
    // libc++ (macOS, and musl builds with clang) rounds a reservation up to its 16-byte
    // allocation steps; libstdc++ keeps it exact.
    constexpr size_t kAllocationStep = 16;
    std::string slot;
    for (size_t length : {10, 40, 200, 100, 255, 256, 257, 5000, 30, 100'000}) {
        QueuedEvent::assign_text(slot, std::string(length, 'x'));
        EXPECT_EQ(slot.size(), std::min(length, kMaxEventTextBytes));
        EXPECT_LT(slot.capacity(), kMaxEventTextBytes + kAllocationStep) << length;
    }
}

}  // namespace
}  // namespace tolm::testing
