// The window counter and the limiter against a clock the test moves: quotas,
// the catch-up rule, parents, and the young window.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>

#include "platform/tick.h"
#include "speed/speed_calculator.h"
#include "speed/speed_limit.h"

namespace {

using namespace asynframe;

std::atomic<std::uint32_t> g_now{0};
std::uint32_t test_tick() noexcept { return g_now.load(); }

class SpeedLimitTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_now = 1000000;  // a multiple of every slot length used here
        previous = platform::set_tick_source(&test_tick);
    }
    void TearDown() override {
        for (ISpeedLimit* limit : made) limit->Release();
        platform::set_tick_source(previous);
    }
    ISpeedLimit* make(DWORD limit = SPEED_UNLIMITED) {
        ISpeedLimit* made_limit = new CSpeedLimit();
        made_limit->SetLimit(limit);
        made.push_back(made_limit);
        return made_limit;
    }
    static std::pair<DWORD, DWORD> ask(ISpeedLimit* limit, DWORD wanted) {
        DWORD granted = 12345, wait = 12345;
        EXPECT_EQ(S_OK, limit->Request(wanted, &granted, &wait));
        return {granted, wait};
    }

    platform::tick_source previous = nullptr;
    std::vector<ISpeedLimit*> made;
};

TEST_F(SpeedLimitTest, TheWindowAveragesOverItsRealLengthUntilItIsFull) {
    speed_calculator calculator(10, 250);
    calculator.add(1000);
    EXPECT_EQ(4000u, calculator.speed());  // one slot: 1000 bytes in 0.25 s
    g_now += 1000;
    // Five slots of 250 ms, the current one included: 1.25 s.
    EXPECT_EQ(800u, calculator.speed());
    g_now += 1500;
    // Full: ten slots, and the first one has left the window.
    EXPECT_EQ(0u, calculator.speed());
    calculator.add(2500);
    EXPECT_EQ(1000u, calculator.speed());
    g_now += 250 * 9;
    EXPECT_EQ(1000u, calculator.speed());
    g_now += 250;
    EXPECT_EQ(0u, calculator.speed());
    // A long silence empties the window once, whatever its length.
    calculator.add(500);
    g_now += 3600u * 1000u;
    EXPECT_EQ(0u, calculator.speed());
    calculator.add(250);
    calculator.reset();
    EXPECT_EQ(0u, calculator.speed());
}

TEST_F(SpeedLimitTest, TheWindowSurvivesTheTickWrappingAround) {
    g_now = 0xFFFFFFFFu - 600;
    speed_calculator calculator(10, 250);
    calculator.add(1000);
    const std::uint64_t before = calculator.speed();
    EXPECT_GT(before, 0u);
    g_now += 1000;  // wraps
    const std::uint64_t after = calculator.speed();
    EXPECT_LE(after, before);  // never a speed out of thin air
    calculator.add(1000);
    EXPECT_GT(calculator.speed(), 0u);
    EXPECT_LE(calculator.speed(), 4000u);
}

TEST_F(SpeedLimitTest, QuotasFollowTheLimitAndLetASlowLinkCatchUp) {
    ISpeedLimit* unlimited = make();
    EXPECT_EQ(std::make_pair(DWORD{1u << 30}, DWORD{0}), ask(unlimited, 1u << 30));
    DWORD value = 0;
    EXPECT_EQ(S_OK, unlimited->GetLimit(&value));
    EXPECT_EQ(SPEED_UNLIMITED, value);

    ISpeedLimit* limit = make(4000);
    // No traffic yet: a quarter of the limit plus a quarter of the whole shortfall.
    EXPECT_EQ(std::make_pair(DWORD{1500}, DWORD{0}), ask(limit, 1500));
    EXPECT_EQ(std::make_pair(DWORD{500}, DWORD{0}), ask(limit, 5000));
    EXPECT_EQ(std::make_pair(DWORD{0}, DWORD{125}), ask(limit, 1));
    limit->Report(2000);
    // The next quarter: the window ran at its limit, so no catch-up.
    g_now += 250;
    EXPECT_EQ(std::make_pair(DWORD{1000}, DWORD{0}), ask(limit, 5000));
    limit->Report(1000);
    EXPECT_EQ(S_OK, limit->GetSpeed(&value));
    EXPECT_EQ(6000u, value);  // 3000 bytes over two slots
    // A limit that never overflows: the sum of limit and shortfall needs 33 bits.
    ISpeedLimit* huge = make(0xFFFFFFFEu);
    EXPECT_EQ(0x7FFFFFFFu, ask(huge, 0xFFFFFFFFu).first);
}

TEST_F(SpeedLimitTest, AParentGrantsFirstAndSeesItsChildrensTraffic) {
    ISpeedLimit* parent = make(4000);
    ISpeedLimit* child = make();
    ISpeedLimit* other = make(400);
    EXPECT_EQ(S_OK, child->SetParent(parent));
    EXPECT_EQ(S_OK, other->SetParent(parent));
    ISpeedLimit* got = nullptr;
    EXPECT_EQ(S_OK, child->GetParent(&got));
    EXPECT_EQ(parent, got);
    got->Release();
    EXPECT_EQ(E_NOINTERFACE, parent->GetParent(&got));
    EXPECT_EQ(nullptr, got);

    // The child's own quota is bounded by the parent's grant, and the other
    // child's by its own.
    EXPECT_EQ(1800u, ask(child, 1800).first);
    EXPECT_EQ(200u, ask(other, 1000).first);
    // The parent has nothing left: the child is refused whatever its own quota.
    EXPECT_EQ(std::make_pair(DWORD{0}, DWORD{125}), ask(child, 100));
    child->Report(1800);
    other->Report(200);
    DWORD speed = 0;
    parent->GetSpeed(&speed);
    EXPECT_EQ(8000u, speed);  // both children's bytes in one slot

    // A child tighter than its parent takes from the parent only what it
    // grants. Next quarter: the parent ran at twice its limit, so its quota is
    // a quarter of it (1000); the new child's is (400 + 400) / 4 = 200.
    g_now += 250;
    ISpeedLimit* tight = make(400);
    EXPECT_EQ(S_OK, tight->SetParent(parent));
    EXPECT_EQ(200u, ask(tight, 5000).first);
    EXPECT_EQ(std::make_pair(DWORD{0}, DWORD{125}), ask(tight, 100));
    EXPECT_EQ(800u, ask(parent, 0xFFFF).first);
    EXPECT_EQ(S_OK, tight->SetParent(nullptr));

    // A loop of parents would never end a request: refused.
    EXPECT_EQ(E_INVALIDARG, parent->SetParent(child));
    EXPECT_EQ(E_INVALIDARG, child->SetParent(child));
    EXPECT_EQ(S_OK, child->SetParent(nullptr));
    EXPECT_EQ(E_NOINTERFACE, child->GetParent(&got));
}

}  // namespace
