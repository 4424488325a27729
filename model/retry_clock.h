#pragma once

namespace towagi {

// How the pauses between retries pass. The launcher's clock lets the calling thread sleep; tests hand in
// a clock that records the pauses instead.
class RetryClock {
public:
    virtual ~RetryClock() = default;
    virtual void Pause(int milliseconds) = 0;
};

// The launcher's clock: the calling thread sleeps.
RetryClock& SleepingClock();

} // namespace towagi
