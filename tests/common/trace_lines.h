#pragma once
#include "support/encoding.h"
#include "tests/common/test_env.h"

#include <string>
#include <vector>

namespace towagi::testing {

// "operation ; text" of every line of a trace log, without the time stamp.
inline std::vector<std::string> ReadTraceLines(const std::string& logFile) {
    const std::string text = FromCP932(ReadFile(logFile), logFile);
    std::vector<std::string> lines;
    for (std::size_t begin = 0, end; begin < text.size(); begin = end + 2) {
        end = text.find("\r\n", begin);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(begin, end - begin);
        const std::size_t stamp = line.find(" ; ");
        lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 3));
    }
    return lines;
}

} // namespace towagi::testing
