#include "database/control_settings.h"

#include "support/settings.h"
#include "support/settings_store.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <optional>

namespace towagi {
namespace {

using testing::ScopedHives;

constexpr const char* kUpdate = "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE";

// The scope the control table would give; stands in for the database in these tests.
class ScopedReg : public TPLXREG {
public:
    explicit ScopedReg(std::string scope) : scope_(std::move(scope)) {}
    std::string GetRegScope(const std::string&, const std::string&) override { return scope_; }

private:
    std::string scope_;
};

void WriteValue(Hive hive, const std::string& name, const std::optional<std::string>& text,
                std::optional<std::int32_t> number = std::nullopt) {
    auto key = CurrentSettingsStore().OpenKey(hive, kUpdate, true, KeyAccess::ReadWrite);
    testing::Require(key != nullptr, std::string("key ") + kUpdate);
    if (text) key->WriteString(name, *text);
    if (number) key->WriteInteger(name, *number);
}

TEST(TPLXREG, KeysLieBelowTheProductRootUnlessAbsolute) {
    EXPECT_EQ(TPLXREG::FullKey("PATH\\UPDATE"), "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\PATH\\UPDATE");
    EXPECT_EQ(TPLXREG::FullKey("\\Software\\VORN\\TOWAGI\\PATH\\UPDATE"),
              "\\Software\\VORN\\TOWAGI\\PATH\\UPDATE");
}

TEST(TPLXDirectReg, WithoutTheControlTableEveryValueIsMachineWide) {
    ScopedHives hives;
    WriteMachineInteger(kProductRoot, kPerUserSwitch, 1, true);
    WriteValue(Hive::Machine, "PATHJ", "|/srv/machine");
    WriteValue(Hive::User, "PATHJ", "|/srv/user");
    WriteValue(Hive::User, "Dialup", std::nullopt, 1);
    TPLXDirectReg reg;
    EXPECT_EQ(reg.GetRegScope("PATH\\UPDATE", "PATHJ"), "M");
    EXPECT_EQ(reg.ReadRegString("PATH\\UPDATE", "PATHJ"), "|/srv/machine");
    EXPECT_EQ(reg.ReadRegInteger("PATH\\UPDATE", "Dialup", -1), -1);
    EXPECT_EQ(reg.ReadRegString("PATH\\MISSING", "PATHJ"), "");
}

TEST(TPLXREG, ReadRegStringFallsBackToTheMachineHiveOnlyForPerUserValues) {
    struct Case {
        std::string scope;
        std::optional<std::string> user;
        std::optional<std::string> machine;
        std::string want;
    };
    for (const auto& c : std::vector<Case>{
             {"U", "user", "machine", "user"},
             {"U", std::nullopt, "machine", "machine"},
             {"U", "  ", "machine", "machine"}, // a blank per-user value counts as missing
             {"U", "  ", std::nullopt, ""},
             {"M", "user", std::nullopt, ""},
             {"M", "user", "machine", "machine"},
             {"M", std::nullopt, "  ", "  "},
         }) {
        ScopedHives hives;
        if (c.user) WriteValue(Hive::User, "PATHJ", c.user);
        if (c.machine) WriteValue(Hive::Machine, "PATHJ", c.machine);
        EXPECT_EQ(ScopedReg(c.scope).ReadRegString("PATH\\UPDATE", "PATHJ"), c.want)
            << c.scope << " " << c.user.value_or("-") << " " << c.machine.value_or("-");
    }
}

TEST(TPLXREG, ReadRegIntegerTakesTheFirstHiveHoldingAnInteger) {
    struct Case {
        std::string scope;
        std::optional<std::int32_t> user;
        bool userAsText;
        std::optional<std::int32_t> machine;
        std::int32_t want;
    };
    for (const auto& c : std::vector<Case>{
             {"U", 1, false, 2, 1},
             {"U", std::nullopt, false, 2, 2},
             {"U", std::nullopt, true, 2, 2}, // text where an integer belongs counts as missing
             {"U", std::nullopt, false, std::nullopt, 7},
             {"M", 1, false, std::nullopt, 7},
             {"M", 1, false, 0, 0},
         }) {
        ScopedHives hives;
        if (c.user) WriteValue(Hive::User, "Update_Quil_Mast", std::nullopt, c.user);
        if (c.userAsText) WriteValue(Hive::User, "Update_Quil_Mast", "1");
        if (c.machine) WriteValue(Hive::Machine, "Update_Quil_Mast", std::nullopt, c.machine);
        EXPECT_EQ(ScopedReg(c.scope).ReadRegInteger("PATH\\UPDATE", "Update_Quil_Mast", 7), c.want)
            << c.scope;
    }
}

TEST(TPLXREG, IntegerReadAsTextRaisesTheStoresError) {
    ScopedHives hives;
    WriteValue(Hive::Machine, "FTP_HOST", std::nullopt, 5);
    EXPECT_THROW(TPLXDirectReg().ReadRegString("PATH\\UPDATE", "FTP_HOST"), ESettingsError);
}

} // namespace
} // namespace towagi
