#include "startup/command_line.h"

#include "programs/plx00up/edition_profile.h"
#include "programs/qrd00up/edition_profile.h"
#include "tests/common/test_env.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace towagi {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(HandleCommandLine, HelpVersionAndNothingElse) {
    struct Case {
        std::vector<std::string> args;
        std::optional<int> want;
        std::string outPart, errPart;
    };
    for (const auto& c : std::vector<Case>{
             {{"Qrd00up"}, std::nullopt, "", ""},
             {{"Qrd00up", "--version"}, 0, std::string("Qrd00up ") + TOWAGI_VERSION + "\n", ""},
             {{"Qrd00up", "--help"}, 0, "使い方: Qrd00up [--help | --version]\n", ""},
             {{"Qrd00up", "-h"}, 0, "TOWAGI_MACHINE_HIVE  コンピューター全体の設定ストア (既定: /var/lib/towagi/machine.hive)", ""},
             {{"Qrd00up", "--bogus"}, kExitCannotStart, "",
              "Qrd00up: 不明な引数です: --bogus\n使い方は「Qrd00up --help」で表示します。\n"},
             // The launchers read no arguments for their work: even a known one with more is refused.
             {{"Qrd00up", "--version", "x"}, kExitCannotStart, "", "不明な引数です: --version"},
             {{"Qrd00up", "update"}, kExitCannotStart, "", "不明な引数です: update"},
         }) {
        std::ostringstream out, err;
        EXPECT_EQ(HandleCommandLine(EstimationEdition(), c.args, out, err), c.want) << c.args.size();
        EXPECT_TRUE(Contains(out.str(), c.outPart)) << out.str();
        EXPECT_TRUE(Contains(err.str(), c.errPart)) << err.str();
        EXPECT_EQ(out.str().empty(), c.outPart.empty()) << out.str();
        EXPECT_EQ(err.str().empty(), c.errPart.empty()) << err.str();
    }
    std::ostringstream out, err;
    EXPECT_EQ(HandleCommandLine(CostEdition(), {"Plx00up", "--version"}, out, err), 0);
    EXPECT_EQ(out.str(), std::string("Plx00up ") + TOWAGI_VERSION + "\n");
    // The help names every variable the README lists, with its default.
    HandleCommandLine(CostEdition(), {"Plx00up", "--help"}, out, err);
    for (const char* part : {"TOWAGI_MACHINE_HIVE", "TOWAGI_USER_HIVE", "~/.config/towagi/user.hive",
                             "TOWAGI_OS_VERSION", "10.0", "FIREBIRD_LOCK", "/tmp/towagi-firebird-", "FIREBIRD_TMP"})
        EXPECT_TRUE(Contains(out.str(), part)) << part;
}

TEST(MissingDisplay, AnyPlatformOrDisplayWillDo) {
    struct Case {
        std::optional<std::string> platform, x, wayland;
        bool missing;
    };
    for (const auto& c : std::vector<Case>{
             {std::nullopt, std::nullopt, std::nullopt, true},
             {std::nullopt, "", "", true},
             {"offscreen", std::nullopt, std::nullopt, false},
             {std::nullopt, ":0", std::nullopt, false},
             {std::nullopt, std::nullopt, "wayland-0", false},
         }) {
        ScopedEnv platform("QT_QPA_PLATFORM", c.platform);
        ScopedEnv x("DISPLAY", c.x);
        ScopedEnv wayland("WAYLAND_DISPLAY", c.wayland);
        EXPECT_EQ(MissingDisplay().empty(), !c.missing) << c.x.value_or("-");
    }
}

// The real launchers at a terminal: they answer, or refuse, and end at once; none hangs or aborts.
TEST(ProgramEntry, CommandLineMannersOfTheRealLaunchers) {
    struct Case {
        std::string binary;
        std::string environment; // for env(1): what to unset or set
        std::string args;
        int want;
        std::string outPart, errPart;
    };
    const std::string noDisplay = "-u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM";
    for (const auto& c : std::vector<Case>{
             {QRD00UP_BINARY, noDisplay, "--version", 0, std::string("Qrd00up ") + TOWAGI_VERSION + "\n", ""},
             {PLX00UP_BINARY, noDisplay, "--help", 0, "使い方: Plx00up [--help | --version]", ""},
             {QRD00UP_BINARY, "", "--bogus", kExitCannotStart, "", "Qrd00up: 不明な引数です: --bogus"},
             {QRD00UP_BINARY, noDisplay, "", kExitCannotStart, "",
              "Qrd00up: 画面に接続できないため起動できません(環境変数DISPLAYが設定されていません)。"},
             // A display that is set but cannot be reached: Qt gives up, the launcher says why.
             {PLX00UP_BINARY, noDisplay + " DISPLAY=:4093", "", kExitCannotStart, "",
              "Plx00up: 画面に接続できないため起動できません。\n"},
         }) {
        TempDir dir;
        const std::string command = "cd '" + dir.Dir() + "' && env " + c.environment + " TOWAGI_MACHINE_HIVE='" +
                                    dir.File("m.hive") + "' TOWAGI_USER_HIVE='" + dir.File("u.hive") +
                                    "' timeout -k 5 60 '" + c.binary + "' " + c.args + " > out.txt 2> err.txt";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << command;
        EXPECT_EQ(WEXITSTATUS(status), c.want) << command << "\n" << ReadFile(dir.File("err.txt"));
        const std::string out = ReadFile(dir.File("out.txt")), err = ReadFile(dir.File("err.txt"));
        EXPECT_TRUE(Contains(out, c.outPart)) << command << "\n" << out;
        EXPECT_TRUE(Contains(err, c.errPart)) << command << "\n" << err;
        if (c.outPart.empty()) {
            EXPECT_EQ(out, "") << command;
        }
        // Nothing was started: no trace log, no work folder.
        EXPECT_FALSE(std::filesystem::exists(dir.File("TEMP"))) << command;
    }
}

} // namespace
} // namespace towagi
