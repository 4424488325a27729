#include "support/os_info.h"

#include "support/text.h"

#include "support/settings.h"

#include <cctype>
#include <charconv>
#include <cstdlib>
#include <cstring>

namespace towagi {
namespace {


bool ParseNumber(const char* first, const char* last, std::uint32_t& value) {
    if (first == last) return false;
    auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last;
}

// What the platform's version query answers; false when it cannot tell.
bool QueryVersion(TOSInfo& info) {
    std::uint32_t major = 10, minor = 0;
    if (const char* text = std::getenv("TOWAGI_OS_VERSION"); text && *text) {
        const char* end = text + std::strlen(text);
        const char* dot = std::strchr(text, '.');
        if (!dot || !ParseNumber(text, dot, major) || !ParseNumber(dot + 1, end, minor)) return false;
    }
    info.MajorVersion = major;
    info.MinorVersion = minor;
    info.PlatformId = kPlatformNT;
    return true;
}

} // namespace

bool GetOSInfo(TOSInfo& info) {
    std::memset(&info, 0, sizeof info);
    info.Size = kOSInfoSize;
    if (!QueryVersion(info)) {
        std::memset(&info, 0, sizeof info);
        info.Size = kOSInfoBasicSize;
        return false;
    }
    // The extended answer includes the product type, so the registry is not consulted.
    info.ProductType = 1;
    return true;
}

std::string GetNTProductType() {
    TOSInfo info{};
    info.Size = kOSInfoBasicSize;
    if (!QueryVersion(info) || info.PlatformId != kPlatformNT) return "";
    return ReadMachineString(kProductOptionsKey, "ProductType", false);
}

std::uint8_t ProductTypeFromText(const std::string& text) {
    if (SameText(text, "WINNT")) return 1;
    if (SameText(text, "LANMANNT")) return 2;
    if (SameText(text, "SERVERNT")) return 3;
    return 0;
}

} // namespace towagi
