#include "support/errors.h"
#include "support/text.h"
#include "support/trace_log.h"

#include "tests/common/test_env.h"
#include "tests/support/support_test_helpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <functional>
#include <vector>

namespace towagi {
namespace {

struct LineCase {
    std::function<void(TTraceLog&)> write;
    std::string tail; // the bytes after the time stamp, CR LF included
};

// Checks the file line by line: a time stamp of the current time, then exactly the expected bytes.
void ExpectLines(const std::string& path, const std::vector<LineCase>& cases, std::time_t before,
                 std::time_t after) {
    const std::string content = testing::ReadFile(path);
    size_t at = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_LE(at + 19, content.size()) << "line " << i << " missing";
        std::time_t stamp = 0;
        ASSERT_TRUE(ParseDateTime(content.substr(at, 19), stamp)) << content.substr(at, 19);
        EXPECT_GE(stamp, before - 1) << "line " << i;
        EXPECT_LE(stamp, after + 1) << "line " << i;
        ASSERT_EQ(content.substr(at + 19, cases[i].tail.size()), cases[i].tail) << "line " << i;
        at += 19 + cases[i].tail.size();
    }
    EXPECT_EQ(at, content.size()) << "unexpected bytes: " << content.substr(at);
}

TEST(TTraceLog, WritesThreeFieldsPerLineInCP932) {
    const std::vector<LineCase> cases = {
        {[](TTraceLog& log) { log.WriteStart("FTP_Download"); }, " ; FTP_Download ; Start\r\n"},
        {[](TTraceLog& log) { log.Write("GetExcelDir", "保護ファイル数 = 3"); },
         " ; GetExcelDir ; \x95\xDB\x8C\xEC\x83t\x83@\x83"
         "C\x83\x8B\x90\x94 = 3\r\n"},
        {[](TTraceLog& log) { log.WriteEnd("Execute"); }, " ; Execute ; End\r\n"},
        {[](TTraceLog& log) { log.WriteResult("FormShow", std::string("接続")); },
         " ; FormShow ; End : Result=\x90\xDA\x91\xB1\r\n"},
        {[](TTraceLog& log) { log.WriteResult("FormShow", "literal"); },
         " ; FormShow ; End : Result=literal\r\n"},
        {[](TTraceLog& log) { log.WriteResult("Check", false); }, " ; Check ; End : Result=false\r\n"},
        {[](TTraceLog& log) { log.WriteResult("Check", true); }, " ; Check ; End : Result=true\r\n"},
        {[](TTraceLog& log) { log.WriteResult("Count", -1); }, " ; Count ; End : Result=-1\r\n"},
        {[](TTraceLog& log) { log.WriteResult("Count", 120); }, " ; Count ; End : Result=120\r\n"},
        {[](TTraceLog& log) { log.WriteResult("Count", ""); }, " ; Count ; End : Result=\r\n"},
        {[](TTraceLog& log) { log.Write("", "text"); }, " ;  ; text\r\n"},
        {[](TTraceLog& log) { log.Write("Op", ""); }, " ; Op ; \r\n"},
        {[](TTraceLog& log) { log.Write("Op", "a ; b"); }, " ; Op ; a ; b\r\n"},
        {[](TTraceLog& log) { log.Write("Op", "first\r\nsecond"); }, " ; Op ; first\r\nsecond\r\n"},
        {[](TTraceLog& log) { log.Write("C:\\TOWAGI\\", "表"); }, " ; C:\\TOWAGI\\ ; \x95\\\r\n"},
    };
    testing::TempDir dir;
    const std::string path = dir.File("Qrd00up.log");
    std::time_t before = std::time(nullptr);
    {
        TTraceLog log(path);
        for (size_t i = 0; i < cases.size(); ++i) {
            cases[i].write(log);
            // Nothing is held back: the file has the line as soon as the call returns.
            ExpectLines(path, {cases.begin(), cases.begin() + static_cast<long>(i) + 1}, before,
                        std::time(nullptr));
        }
    }
    ExpectLines(path, cases, before, std::time(nullptr));
}

TEST(TTraceLog, CreatingTheLogEmptiesAnExistingFile) {
    testing::TempDir dir;
    const std::string path = dir.File("PLX00UP.LOG");
    testing::WriteFile(path, "2020/01/01 00:00:00 ; Old ; line of an earlier run\r\n");
    std::time_t before = std::time(nullptr);
    TTraceLog log(path);
    EXPECT_EQ(testing::ReadFile(path), "");
    log.WriteStart("FormCreate");
    ExpectLines(path, {{nullptr, " ; FormCreate ; Start\r\n"}}, before, std::time(nullptr));
}

TEST(TTraceLog, ASecondWriterIsRefusedWhileTheFirstLives) {
    testing::TempDir dir;
    const std::string path = dir.File("Qrd00up.log");
    std::time_t before = std::time(nullptr);
    {
        TTraceLog first(path);
        first.WriteStart("FormShow");
        try {
            TTraceLog second(path);
            ADD_FAILURE() << "second log opened";
        } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find("ログファイル " + path + " を開けません"), std::string::npos)
                << e.what();
            EXPECT_EQ(e.ErrorCode, EWOULDBLOCK);
        }
        // The refused writer must not have emptied the first one's log.
        first.WriteEnd("FormShow");
        ExpectLines(path, {{nullptr, " ; FormShow ; Start\r\n"}, {nullptr, " ; FormShow ; End\r\n"}}, before,
                    std::time(nullptr));
    }
    TTraceLog next(path);
    next.WriteStart("Execute");
    ExpectLines(path, {{nullptr, " ; Execute ; Start\r\n"}}, before, std::time(nullptr));
}

TEST(TTraceLog, FileThatCannotBeCreatedIsAnError) {
    testing::TempDir dir;
    struct Case {
        std::string path;
        int errorCode;
    };
    for (const auto& c : std::vector<Case>{{dir.File("missing/Qrd00up.log"), ENOENT}, {dir.Dir(), EISDIR}}) {
        try {
            TTraceLog log(c.path);
            ADD_FAILURE() << c.path << ": no error";
        } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find(c.path), std::string::npos) << e.what();
            EXPECT_EQ(e.ErrorCode, c.errorCode) << c.path;
        }
    }
}

TEST(TTraceLog, TextThatCP932CannotHoldIsAnErrorNamingTheLog) {
    testing::TempDir dir;
    const std::string path = dir.File("Qrd00up.log");
    TTraceLog log(path);
    try {
        log.Write("Op", "🙂");
        ADD_FAILURE() << "no error";
    } catch (const EEncodingError& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_EQ(testing::ReadFile(path), "");
}

TEST(TTraceLog, FailedWriteIsAnErrorNamingTheLog) {
    testing::TempDir dir;
    const std::string path = dir.File("Qrd00up.log");
    TTraceLog log(path);
    {
        // The line is longer than the limit: the first write is partial, the next one fails.
        testing::ScopedFileSizeLimit limit(30);
        try {
            log.Write("Download", "a text longer than the limit");
            ADD_FAILURE() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_NE(std::string(e.what()).find("ログファイル " + path), std::string::npos) << e.what();
            EXPECT_EQ(e.ErrorCode, EFBIG);
        }
    }
    EXPECT_EQ(testing::ReadFile(path).size(), 30u);
    log.Close();
    try {
        log.WriteEnd("Download");
        ADD_FAILURE() << "write after close";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode, EBADF);
    }
}

} // namespace
} // namespace towagi
