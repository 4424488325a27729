#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace towagi {

// The extended OS version record, field for field; the basic form is its first 148 bytes.
struct TOSInfo {
    std::uint32_t Size;
    std::uint32_t MajorVersion; // 5 = 2000/XP, 6 = Vista to 8.1, 10 = Windows 10 and 11
    std::uint32_t MinorVersion;
    std::uint32_t BuildNumber;
    std::uint32_t PlatformId; // 1 = 9x family, 2 = NT family
    char ServicePack[128];    // zero-terminated
    std::uint16_t ServicePackMajor;
    std::uint16_t ServicePackMinor;
    std::uint16_t SuiteMask;
    std::uint8_t ProductType; // 1 workstation, 2 domain controller, 3 server, 0 none determined
    std::uint8_t Reserved;
};

inline constexpr std::uint32_t kOSInfoSize = 156;
inline constexpr std::uint32_t kOSInfoBasicSize = 148;
inline constexpr std::uint32_t kPlatformNT = 2;
static_assert(sizeof(TOSInfo) == kOSInfoSize);
static_assert(offsetof(TOSInfo, ServicePackMajor) == kOSInfoBasicSize);

// Where the product type lives in the machine hive, as on the system the suite was made for.
inline constexpr const char* kProductOptionsKey = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";

// Reports a current NT-family workstation: 10.0, platform 2, product type 1. TOWAGI_OS_VERSION=major.minor
// replaces the two numbers so that the paths for older systems can be run here; a value that is not two
// decimal numbers joined by "." makes the query fail (false), which is the launcher's "unknown OS" path.
bool GetOSInfo(TOSInfo& info);

// The ProductType text of the machine hive on an NT-family system; empty when it cannot be read.
std::string GetNTProductType();

// "WINNT" 1, "LANMANNT" 2, "SERVERNT" 3 (any letter case); anything else 0.
std::uint8_t ProductTypeFromText(const std::string& text);

} // namespace towagi
