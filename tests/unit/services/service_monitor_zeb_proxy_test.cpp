// The agent's restart pacing on an explicit clock. Supervision of a real agent needs the
// agent at its gateway path and is tested end to end.
#include "service_monitor_zeb_proxy.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

namespace pacing = zeb_proxy_pacing;

// Starts a child at now, lets it run for runMs, and returns the pause before the next start.
uint32_t runFor(AGENT_RESTART_PACING_T& p, uint64_t& now, uint64_t runMs) {
    EXPECT_TRUE(pacing::due(p, now));
    pacing::started(p, now);
    now += runMs;
    const uint32_t pause = pacing::ended(p, now);
    EXPECT_FALSE(pacing::due(p, now + pause - 1));
    EXPECT_TRUE(pacing::due(p, now + pause));
    now += pause;
    return pause;
}

TEST(RestartPacing, DoublesForShortRunsUpToAMinuteAndResetsAfterAStableRun) {
    AGENT_RESTART_PACING_T p {};
    pacing::reset(p);
    uint64_t now = 5000;
    std::vector<uint32_t> pauses;
    for (int i = 0; i < 9; ++i) pauses.push_back(runFor(p, now, 100));
    EXPECT_EQ(pauses, (std::vector<uint32_t> {1000, 2000, 4000, 8000, 16000, 32000, 60000,
                                              60000, 60000}));
    // A run of a minute or more counts as stable: the pause is the shortest again.
    EXPECT_EQ(runFor(p, now, 60000), 1000u);
    EXPECT_EQ(runFor(p, now, 59999), 2000u);
    // A failed start (no run at all) paces like a short run.
    pacing::started(p, now);
    EXPECT_EQ(pacing::ended(p, now), 4000u);
    // Switching on again starts at once with the shortest pause.
    pacing::reset(p);
    EXPECT_TRUE(pacing::due(p, now));
    EXPECT_EQ(runFor(p, now, 10), 1000u);
}

}  // namespace
