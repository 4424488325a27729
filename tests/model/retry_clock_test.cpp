#include "model/retry_clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace towagi {
namespace {

TEST(SleepingClock, APauseLastsAtLeastItsTime) {
    for (int milliseconds : {0, 1, 30}) {
        const auto start = std::chrono::steady_clock::now();
        SleepingClock().Pause(milliseconds);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(milliseconds))
            << milliseconds;
    }
}

} // namespace
} // namespace towagi
