#pragma once
#include <cstdio>
#include <string>
#include <string_view>

namespace towagi {

// Text for a message when its bytes do not convert: ASCII as it is, every other byte as \xNN, so that
// nothing is lost or silently replaced.
inline std::string ShownBytes(std::string_view text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c < 0x80) {
            shown += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            shown += hex;
        }
    }
    return shown;
}

} // namespace towagi
