#include "model/retry_clock.h"

#include <chrono>
#include <thread>

namespace towagi {
namespace {

class ThreadSleep final : public RetryClock {
public:
    void Pause(int milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

} // namespace

RetryClock& SleepingClock() {
    static ThreadSleep clock;
    return clock;
}

} // namespace towagi
