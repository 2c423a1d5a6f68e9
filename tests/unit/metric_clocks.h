// Clocks the metric manager's tests hand it instead of the real ones: each test moves them.
#ifndef TESTS_METRIC_CLOCKS_H
#define TESTS_METRIC_CLOCKS_H

#include <atomic>
#include <cstdint>

inline constexpr uint64_t kWallStart = 1700000000000ULL;
inline constexpr uint64_t kPeriodMs = 60000;

inline std::atomic<uint64_t> g_wall{kWallStart};
inline std::atomic<uint64_t> g_mono{1000};
inline uint64_t wallNow() { return g_wall.load(); }
inline uint64_t monoNow() { return g_mono.load(); }

#endif
