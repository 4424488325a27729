#include "platform/settings_store.h"
#include "platform/settings_transaction.h"

#include "tests/common/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace towagi {
namespace {

using testing::ScopedEnv;
using testing::ScopedHives;
using testing::TempDir;

std::unique_ptr<SettingsKey> Open(Hive hive, const std::string& path, bool create = false,
                                  KeyAccess access = KeyAccess::ReadWrite) {
    return CurrentSettingsStore().OpenKey(hive, path, create, access);
}

TEST(SplitKeyPath, EmptyNamesAreDropped) {
    struct Case {
        std::string path;
        std::vector<std::string> want;
    };
    for (const auto& c : std::vector<Case>{{"", {}},
                                           {"\\", {}},
                                           {"Software", {"Software"}},
                                           {"\\Software\\VORN", {"Software", "VORN"}},
                                           {"Software\\\\VORN\\", {"Software", "VORN"}},
                                           {"a b\\日本語", {"a b", "日本語"}}})
        EXPECT_EQ(SplitKeyPath(c.path), c.want) << c.path;
}

TEST(HiveFilePath, EnvironmentDecidesEveryTime) {
    ScopedEnv machine("TOWAGI_MACHINE_HIVE", std::nullopt);
    ScopedEnv user("TOWAGI_USER_HIVE", std::nullopt);
    ScopedEnv home("HOME", "/home/tanaka");
    {
        ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
        EXPECT_EQ(HiveFilePath(Hive::Machine), "/var/lib/towagi/machine.hive");
        EXPECT_EQ(HiveFilePath(Hive::User), "/home/tanaka/.config/towagi/user.hive");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/srv/conf");
        EXPECT_EQ(HiveFilePath(Hive::User), "/srv/conf/towagi/user.hive");
    }
    {
        ScopedEnv config("XDG_CONFIG_HOME", "relative/conf"); // not absolute: ignored
        EXPECT_EQ(HiveFilePath(Hive::User), "/home/tanaka/.config/towagi/user.hive");
    }
    ScopedEnv machineSet("TOWAGI_MACHINE_HIVE", "/tmp/m.hive");
    ScopedEnv userSet("TOWAGI_USER_HIVE", "/tmp/u.hive");
    EXPECT_EQ(HiveFilePath(Hive::Machine), "/tmp/m.hive");
    EXPECT_EQ(HiveFilePath(Hive::User), "/tmp/u.hive");
}

TEST(SqliteSettingsStore, KeysAreFoundWithOrWithoutLeadingBackslashInAnyLetterCase) {
    ScopedHives hives;
    Open(Hive::Machine, "\\Software\\VORN\\TOWAGI", true)->WriteString("Path", "/srv/towagi");
    for (const std::string path :
         {"\\Software\\VORN\\TOWAGI", "Software\\VORN\\TOWAGI", "SOFTWARE\\vorn\\Towagi"}) {
        auto key = Open(Hive::Machine, path, false, KeyAccess::Read);
        ASSERT_TRUE(key) << path;
        std::string value;
        EXPECT_TRUE(key->ReadString("PATH", value)) << path;
        EXPECT_EQ(value, "/srv/towagi") << path;
    }
    // The hives are separate trees.
    EXPECT_FALSE(Open(Hive::User, "Software\\VORN\\TOWAGI", false, KeyAccess::Read));
    // Names keep the letter case they were first written in.
    Open(Hive::Machine, "software\\vorn\\towagi\\Sub", true)->WriteString("path", "/other");
    auto root = Open(Hive::Machine, "", false, KeyAccess::Read);
    ASSERT_TRUE(root);
    EXPECT_EQ(root->SubKeyNames(), std::vector<std::string>{"Software"});
    auto towagi = Open(Hive::Machine, "Software\\VORN\\TOWAGI", false, KeyAccess::Read);
    EXPECT_EQ(towagi->ValueNames(), std::vector<std::string>{"Path"});
    EXPECT_EQ(towagi->SubKeyNames(), std::vector<std::string>{"Sub"});
}

TEST(SqliteSettingsStore, ValuesHaveOneKindAtATime) {
    ScopedHives hives;
    auto key = Open(Hive::User, "Software\\Kinds", true);
    ASSERT_TRUE(key);
    key->WriteString("Text", "abc");
    key->WriteInteger("Number", -5);
    key->WriteString("", "default");
    std::string text;
    std::int32_t number = 0;
    EXPECT_EQ(key->KindOf("text"), ValueKind::Text);
    EXPECT_EQ(key->KindOf("NUMBER"), ValueKind::Integer);
    EXPECT_EQ(key->KindOf("missing"), ValueKind::Missing);
    EXPECT_FALSE(key->ReadInteger("Text", number));
    EXPECT_FALSE(key->ReadString("Number", text));
    EXPECT_TRUE(key->ReadInteger("Number", number));
    EXPECT_EQ(number, -5);
    EXPECT_TRUE(key->ReadString("", text));
    EXPECT_EQ(text, "default");
    // Writing the other kind replaces the value.
    key->WriteInteger("Text", 7);
    EXPECT_EQ(key->KindOf("Text"), ValueKind::Integer);
    EXPECT_FALSE(key->ReadString("Text", text));
    EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"Text", "Number", ""}));
    EXPECT_TRUE(key->ValueExists("number"));
    EXPECT_TRUE(key->DeleteValue("NUMBER"));
    EXPECT_FALSE(key->DeleteValue("Number"));
    EXPECT_FALSE(key->ValueExists("Number"));
}

TEST(SqliteSettingsStore, SubKeysAreListedByName) {
    ScopedHives hives;
    for (const std::string name : {"beta", "Alpha", "gamma", "ALPHA"})
        Open(Hive::Machine, "K\\" + name, true);
    EXPECT_EQ(Open(Hive::Machine, "K")->SubKeyNames(), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    EXPECT_TRUE(Open(Hive::Machine, "K\\gamma")->SubKeyNames().empty());
}

TEST(SqliteSettingsStore, DeleteKeyRemovesTheWholeSubtree) {
    ScopedHives hives;
    Open(Hive::Machine, "A\\B\\C", true)->WriteString("x", "1");
    Open(Hive::Machine, "A\\B", true)->WriteInteger("y", 2);
    Open(Hive::Machine, "A\\Keep", true)->WriteString("z", "3");
    EXPECT_TRUE(CurrentSettingsStore().DeleteKey(Hive::Machine, "\\a\\b"));
    EXPECT_FALSE(Open(Hive::Machine, "A\\B\\C"));
    EXPECT_FALSE(Open(Hive::Machine, "A\\B"));
    EXPECT_EQ(Open(Hive::Machine, "A")->SubKeyNames(), std::vector<std::string>{"Keep"});
    // A key made again under the old name starts empty.
    EXPECT_TRUE(Open(Hive::Machine, "A\\B", true)->ValueNames().empty());
    EXPECT_FALSE(CurrentSettingsStore().DeleteKey(Hive::Machine, "A\\Missing"));
    EXPECT_FALSE(CurrentSettingsStore().DeleteKey(Hive::Machine, ""));
    EXPECT_FALSE(CurrentSettingsStore().DeleteKey(Hive::User, "A")); // no user hive file
}

// SQLite runs nested cascades a thousand levels deep at most; deleting must not depend on them.
TEST(SqliteSettingsStore, DeleteKeyRemovesTreesOfAnyDepth) {
    ScopedHives hives;
    std::string path = "Top";
    for (int i = 0; i < 1500; ++i) path += "\\k";
    Open(Hive::Machine, path, true)->WriteString("bottom", "1");
    Open(Hive::Machine, "Top\\k\\Side", true)->WriteInteger("side", 2);
    Open(Hive::Machine, "Keep", true)->WriteString("z", "3");
    EXPECT_TRUE(CurrentSettingsStore().DeleteKey(Hive::Machine, "Top"));
    EXPECT_FALSE(Open(Hive::Machine, "Top", false, KeyAccess::Read));
    EXPECT_EQ(Open(Hive::Machine, "")->SubKeyNames(), std::vector<std::string>{"Keep"});
}

TEST(WalkKeyTree, VisitsEveryKeyOnceParentsFirstSubKeysByName) {
    ScopedHives hives;
    auto top = Open(Hive::User, "Top", true);
    top->WriteString("b", "text");
    top->WriteInteger("a", -3);
    top.reset();
    for (const std::string path : {"Top\\beta\\x", "Top\\Alpha", "Other"})
        Open(Hive::User, path, true);
    Open(Hive::User, "Top\\beta", true)->WriteString("", "default");
    std::vector<std::string> seen;
    EXPECT_TRUE(WalkKeyTree(Hive::User, "\\top", [&](const std::string& below, const std::vector<KeyTreeValue>& values) {
        seen.push_back("[" + below + "]");
        for (const KeyTreeValue& value : values)
            seen.push_back(value.Name + "=" +
                           (value.Kind == ValueKind::Integer ? "I:" + std::to_string(value.Integer) : "T:" + value.Text));
    }));
    EXPECT_EQ(seen, (std::vector<std::string>{"[]", "b=T:text", "a=I:-3", "[Alpha]", "[beta]", "=T:default",
                                              "[beta\\x]"}));
    EXPECT_FALSE(WalkKeyTree(Hive::User, "Missing", [](const std::string&, const std::vector<KeyTreeValue>&) {}));
    EXPECT_FALSE(WalkKeyTree(Hive::Machine, "", [](const std::string&, const std::vector<KeyTreeValue>&) {}));

    // Deeper than any call stack would like: walked without recursion.
    std::string path = "Deep";
    for (int i = 0; i < 3000; ++i) path += "\\k";
    Open(Hive::User, path, true);
    int keys = 0;
    size_t longest = 0;
    EXPECT_TRUE(WalkKeyTree(Hive::User, "Deep", [&](const std::string& below, const std::vector<KeyTreeValue>&) {
        ++keys;
        longest = std::max(longest, below.size());
    }));
    EXPECT_EQ(keys, 3001);
    EXPECT_EQ(longest, path.size() - 5);
}

// One transaction over both hives: all of it or nothing.
TEST(SettingsTransaction, KeepsEverythingOnlyWhenCommitted) {
    ScopedHives hives;
    Open(Hive::User, "Old\\Deep", true)->WriteString("x", "1");
    Open(Hive::Machine, "M", true)->WriteString("keep", "old");
    auto snapshot = [] {
        std::vector<std::string> seen;
        for (Hive hive : {Hive::User, Hive::Machine})
            WalkKeyTree(hive, "", [&](const std::string& below, const std::vector<KeyTreeValue>& values) {
                seen.push_back("[" + below + "]");
                for (const KeyTreeValue& value : values) seen.push_back(value.Name + "=" + value.Text);
            });
        return seen;
    };
    const std::vector<std::string> before = snapshot();
    auto change = [](SettingsTransaction& tx) {
        SettingsTransaction::Key user = tx.CreateKey(Hive::User, "New\\Key");
        tx.WriteString(user, "a", "1");
        tx.WriteInteger(user, "n", 5);
        EXPECT_TRUE(tx.DeleteValue(user, "A"));
        EXPECT_FALSE(tx.DeleteValue(user, "a"));
        EXPECT_TRUE(tx.DeleteKey(Hive::User, "old"));
        EXPECT_FALSE(tx.DeleteKey(Hive::User, "old"));
        EXPECT_FALSE(tx.DeleteKey(Hive::User, ""));
        tx.WriteString(tx.CreateKey(Hive::Machine, "\\m"), "keep", "new");
        // A key made again after its parent was deleted in the same transaction.
        tx.WriteString(tx.CreateKey(Hive::User, "old\\deep"), "again", "2");
    };
    {
        SettingsTransaction tx({Hive::User, Hive::Machine});
        change(tx);
    } // not committed
    EXPECT_EQ(snapshot(), before);
    {
        SettingsTransaction tx({Hive::User, Hive::Machine, Hive::User});
        change(tx);
        tx.Commit();
    }
    EXPECT_EQ(snapshot(), (std::vector<std::string>{"[]", "[New]", "[New\\Key]", "n=", "[old]", "[old\\deep]",
                                                    "again=2", "[]", "[M]", "keep=new"}));
    std::int32_t number = 0;
    EXPECT_TRUE(Open(Hive::User, "New\\Key", false, KeyAccess::Read)->ReadInteger("n", number));
    EXPECT_EQ(number, 5);
}

TEST(SettingsTransaction, BothHivesInOneFileShareOneTree) {
    ScopedHives hives;
    ScopedEnv user("TOWAGI_USER_HIVE", hives.MachineHive());
    {
        SettingsTransaction tx({Hive::Machine, Hive::User});
        tx.WriteString(tx.CreateKey(Hive::User, "K"), "u", "1");
        tx.WriteString(tx.CreateKey(Hive::Machine, "K"), "m", "2");
        tx.Commit();
    }
    EXPECT_EQ(Open(Hive::Machine, "K")->ValueNames(), (std::vector<std::string>{"u", "m"}));
}

TEST(SettingsTransaction, AHiveThatCannotBeWrittenIsNamed) {
    ScopedHives hives;
    ScopedEnv machine("TOWAGI_MACHINE_HIVE", "/proc/towagi/machine.hive");
    try {
        SettingsTransaction tx({Hive::User, Hive::Machine});
        ADD_FAILURE() << "opened";
    } catch (const EHiveNotWritable& error) {
        EXPECT_EQ(error.WhichHive(), Hive::Machine);
        EXPECT_EQ(std::string(error.what()), "設定ストア[/proc/towagi/machine.hive]に書き込めません");
    }
    EXPECT_FALSE(std::filesystem::exists(hives.UserHive())); // nothing is opened before every hive can be
}

TEST(SqliteSettingsStore, WritingIntoAKeyRemovedMeanwhileRaises) {
    ScopedHives hives;
    auto key = Open(Hive::Machine, "Gone", true);
    ASSERT_TRUE(key);
    ASSERT_TRUE(CurrentSettingsStore().DeleteKey(Hive::Machine, "Gone"));
    EXPECT_THROW(key->WriteString("x", "1"), ESettingsError);
    std::string value;
    EXPECT_FALSE(key->ReadString("x", value));
}

TEST(SqliteSettingsStore, AKeyOpenedForReadingRefusesWrites) {
    ScopedHives hives;
    Open(Hive::Machine, "R", true);
    auto key = Open(Hive::Machine, "R", false, KeyAccess::Read);
    ASSERT_TRUE(key);
    EXPECT_THROW(key->WriteString("x", "1"), ESettingsError);
    EXPECT_THROW(key->WriteInteger("x", 1), ESettingsError);
    EXPECT_THROW(key->DeleteValue("x"), ESettingsError);
}

TEST(SqliteSettingsStore, OnlyCreateMakesHiveFiles) {
    ScopedHives hives;
    std::string nested = hives.Folder().File("deeper/still/user.hive");
    ScopedEnv user("TOWAGI_USER_HIVE", nested);
    struct Case {
        std::string path;
        bool create;
        KeyAccess access;
    };
    for (const auto& c : std::vector<Case>{{"", false, KeyAccess::Read},
                                           {"K", false, KeyAccess::Read},
                                           {"K", false, KeyAccess::ReadWrite}}) {
        EXPECT_FALSE(Open(Hive::User, c.path, c.create, c.access)) << c.path;
        EXPECT_FALSE(std::filesystem::exists(nested)) << c.path;
    }
    EXPECT_TRUE(Open(Hive::User, "K\\L", true));
    EXPECT_TRUE(std::filesystem::exists(nested));
    EXPECT_TRUE(Open(Hive::User, "k\\l", false, KeyAccess::Read));
    EXPECT_TRUE(Open(Hive::User, "", false, KeyAccess::Read)); // the root of an existing hive
}

TEST(SqliteSettingsStore, HivesThatCannotBeUsedOpenNoKey) {
    TempDir dir;
    testing::WriteFile(dir.File("plain-file"), "not a folder");
    testing::WriteFile(dir.File("garbage.hive"), std::string(4096, 'x'));
    testing::WriteFile(dir.File("empty.hive"), "");
    struct Case {
        std::string hiveFile;
        bool opensForCreate; // an empty file is a new, empty database
    };
    for (const auto& c : std::vector<Case>{{dir.File("plain-file") + "/machine.hive", false},
                                           {dir.File("plain-file") + "/sub/machine.hive", false},
                                           {dir.File("garbage.hive"), false},
                                           {dir.File("empty.hive"), true}}) {
        ScopedEnv machine("TOWAGI_MACHINE_HIVE", c.hiveFile);
        ScopedEnv user("TOWAGI_USER_HIVE", dir.File("user.hive"));
        SqliteSettingsStore store;
        EXPECT_FALSE(store.OpenKey(Hive::Machine, "", false, KeyAccess::Read)) << c.hiveFile;
        EXPECT_FALSE(store.OpenKey(Hive::Machine, "K", false, KeyAccess::ReadWrite)) << c.hiveFile;
        EXPECT_EQ(static_cast<bool>(store.OpenKey(Hive::Machine, "K", true, KeyAccess::ReadWrite)),
                  c.opensForCreate)
            << c.hiveFile;
        EXPECT_EQ(store.DeleteKey(Hive::Machine, "K"), c.opensForCreate) << c.hiveFile;
    }
}

// Each writer opens the key for every value, as the settings routines do.
int WriteValues(const std::string& prefix, int count) {
    try {
        SqliteSettingsStore store;
        for (int i = 0; i < count; ++i) {
            auto key = store.OpenKey(Hive::Machine, "Software\\Race", true, KeyAccess::ReadWrite);
            if (!key) return 2;
            key->WriteInteger(prefix + std::to_string(i), i);
        }
        return 0;
    } catch (...) {
        return 3;
    }
}

TEST(SqliteSettingsStore, TwoProcessesWritingAtOnceLoseNothing) {
    ScopedHives hives;
    constexpr int kCount = 500;
    std::vector<pid_t> children;
    for (const std::string prefix : {"first", "second"}) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(WriteValues(prefix, kCount));
        children.push_back(child);
    }
    // Reading meanwhile must never see a broken hive.
    for (int i = 0; i < 50; ++i) {
        if (auto key = Open(Hive::Machine, "Software\\Race", false, KeyAccess::Read)) key->ValueNames();
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    auto key = Open(Hive::Machine, "Software\\Race", false, KeyAccess::Read);
    ASSERT_TRUE(key);
    EXPECT_EQ(key->ValueNames().size(), 2u * kCount);
    for (const std::string prefix : {"first", "second"})
        for (int i = 0; i < kCount; ++i) {
            std::int32_t value = -1;
            EXPECT_TRUE(key->ReadInteger(prefix + std::to_string(i), value) && value == i) << prefix << i;
        }
}

// Holds the machine hive's write lock from another connection until told to stop; with `committing` it
// commits a change every few milliseconds and takes the lock again at once, as a busy writer does.
class LockHolder {
public:
    LockHolder(const std::string& file, bool committing) {
        Open(Hive::Machine, "Holder", true); // the hive and its tables exist
        thread_ = std::thread([this, file, committing] {
            sqlite3* db = nullptr;
            sqlite3_open(file.c_str(), &db);
            // Its commit waits for a reader's moment; only the waiter under test is without patience.
            sqlite3_busy_timeout(db, 60000);
            sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            holding_ = true;
            for (int tick = 0; !stop_; ++tick) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                if (!committing) continue;
                std::string change = "INSERT OR REPLACE INTO vals(key, name, kind, data) VALUES(0, 'tick', 4, " +
                                     std::to_string(tick) + ")";
                sqlite3_exec(db, change.c_str(), nullptr, nullptr, nullptr);
                sqlite3_exec(db, "COMMIT; BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            }
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        });
        while (!holding_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LockHolder() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> holding_{false}, stop_{false};
    std::thread thread_;
};

// A holder that never lets go is reported after a while, not waited for without end.
TEST(SqliteSettingsStore, AHungLockHolderIsReportedNotWaitedFor) {
    ScopedHives hives;
    LockHolder holder(hives.MachineHive(), false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Open(Hive::Machine, "Waiter", true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    holder.Stop();
    EXPECT_TRUE(Open(Hive::Machine, "Waiter", true));
}

// Writers that keep the hive busy for longer than a hung holder may take do not make a waiter give up
// while they get their work done.
TEST(SqliteSettingsStore, AWriterWaitsAsLongAsTheOthersMakeProgress) {
    ScopedHives hives;
    std::thread stopper;
    {
        LockHolder holder(hives.MachineHive(), true);
        stopper = std::thread([&holder] {
            std::this_thread::sleep_for(std::chrono::seconds(13));
            holder.Stop();
        });
        auto key = Open(Hive::Machine, "Waiter", true);
        EXPECT_TRUE(key);
        stopper.join();
    }
    std::int32_t ticks = 0;
    EXPECT_TRUE(Open(Hive::Machine, "", false, KeyAccess::Read)->ReadInteger("tick", ticks));
    EXPECT_GT(ticks, 10);
}

} // namespace
} // namespace towagi
