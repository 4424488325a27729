#include "support/os_info.h"

#include "support/settings.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <cstring>

namespace towagi {
namespace {

using testing::ScopedEnv;
using testing::ScopedHives;

TEST(GetOSInfo, ReportsACurrentSystemUnlessOverridden) {
    struct Case {
        std::optional<std::string> version;
        bool ok;
        std::uint32_t major, minor;
    };
    for (const auto& c : std::vector<Case>{{std::nullopt, true, 10, 0},
                                           {"", true, 10, 0},
                                           {"10.0", true, 10, 0},
                                           {"6.1", true, 6, 1},
                                           {"6.3", true, 6, 3},
                                           {"5.01", true, 5, 1},
                                           {"6", false, 0, 0},
                                           {"6.", false, 0, 0},
                                           {".1", false, 0, 0},
                                           {"6.x", false, 0, 0},
                                           {"6.1.7601", false, 0, 0},
                                           {"-6.1", false, 0, 0},
                                           {" 6.1", false, 0, 0},
                                           {"99999999999.0", false, 0, 0}}) {
        ScopedEnv version("TOWAGI_OS_VERSION", c.version);
        TOSInfo info;
        std::memset(&info, 0xAB, sizeof info);
        const std::string label = c.version.value_or("(unset)");
        ASSERT_EQ(GetOSInfo(info), c.ok) << label;
        EXPECT_EQ(info.MajorVersion, c.major) << label;
        EXPECT_EQ(info.MinorVersion, c.minor) << label;
        EXPECT_EQ(info.Size, c.ok ? kOSInfoSize : kOSInfoBasicSize) << label;
        EXPECT_EQ(info.PlatformId, c.ok ? kPlatformNT : 0u) << label;
        EXPECT_EQ(info.ProductType, c.ok ? 1 : 0) << label;
        EXPECT_EQ(info.ServicePack[0], '\0') << label;
        EXPECT_EQ(info.Reserved, 0) << label;
    }
}

TEST(GetOSInfo, TheExtendedAnswerDoesNotConsultTheRegistry) {
    ScopedHives hives;
    ASSERT_TRUE(WriteMachineString(kProductOptionsKey, "ProductType", "ServerNT", true));
    TOSInfo info{};
    ASSERT_TRUE(GetOSInfo(info));
    EXPECT_EQ(info.ProductType, 1);
}

TEST(GetNTProductType, ReadsTheMachineHive) {
    ScopedHives hives;
    EXPECT_EQ(GetNTProductType(), "");
    ASSERT_TRUE(WriteMachineString("\\system\\currentcontrolset\\control\\productoptions", "producttype",
                                   "LanmanNT", true));
    EXPECT_EQ(GetNTProductType(), "LanmanNT");
    {
        ScopedEnv version("TOWAGI_OS_VERSION", "6.1");
        EXPECT_EQ(GetNTProductType(), "LanmanNT");
    }
    // A system whose version cannot be told is not known to be of the NT family.
    ScopedEnv version("TOWAGI_OS_VERSION", "broken");
    EXPECT_EQ(GetNTProductType(), "");
}

TEST(ProductTypeFromText, RegistryTextsInAnyLetterCase) {
    struct Case {
        std::string text;
        int want;
    };
    for (const auto& c : std::vector<Case>{{"WINNT", 1},
                                           {"winnt", 1},
                                           {"WinNT", 1},
                                           {"LANMANNT", 2},
                                           {"LanmanNT", 2},
                                           {"SERVERNT", 3},
                                           {"servernt", 3},
                                           {"", 0},
                                           {"WINNT ", 0},
                                           {"Workstation", 0},
                                           {"WIN", 0}})
        EXPECT_EQ(ProductTypeFromText(c.text), c.want) << c.text;
}

} // namespace
} // namespace towagi
