#pragma once
#include "tests/common/test_env.h"

#include <csignal>
#include <ctime>
#include <optional>
#include <string>
#include <sys/resource.h>

namespace towagi::testing {

// Local time is what the suite's date texts and file times mean; a test pins the zone and restores it.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const std::string& zone) : env_(std::in_place, "TZ", zone) { tzset(); }
    ~ScopedTimeZone() {
        env_.reset();
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<ScopedEnv> env_;
};

// Makes writes beyond `bytes` fail with EFBIG (instead of killing the process), so that a full disk can be
// simulated without a seam in the code under test.
class ScopedFileSizeLimit {
public:
    explicit ScopedFileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~ScopedFileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, oldHandler_);
    }
    ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
    ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*oldHandler_)(int) = SIG_DFL;
};

} // namespace towagi::testing
