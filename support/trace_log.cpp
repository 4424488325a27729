#include "support/trace_log.h"

#include "support/encoding.h"
#include "support/errors.h"
#include "support/text.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace towagi {

TTraceLog::TTraceLog(const std::string& fileName) : fileName_(fileName) {
    auto openError = [&](int errorCode) {
        return EInOutError("ログファイル " + fileName_ + " を開けません: " + SystemErrorText(errorCode),
                           errorCode);
    };
    // Truncate only after the lock is held, so a second launcher cannot empty the log of the first.
    file_.Reset(::open(fileName_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    if (!file_.IsOpen()) throw openError(errno);
    if (::flock(file_.Get(), LOCK_EX | LOCK_NB) != 0) throw openError(errno);
    if (::ftruncate(file_.Get(), 0) != 0) throw openError(errno);
}

void TTraceLog::Write(const std::string& operation, const std::string& text) {
    std::string line = FormatDateTime(std::time(nullptr)) + " ; " + operation + " ; " + text + "\r\n";
    std::string bytes = ToCP932(line, fileName_);
    if (!file_.IsOpen() || !WriteAll(file_.Get(), bytes.data(), bytes.size())) {
        int errorCode = file_.IsOpen() ? errno : EBADF;
        throw EInOutError("ログファイル " + fileName_ + " に書き込めません: " + SystemErrorText(errorCode),
                          errorCode);
    }
}

void TTraceLog::WriteStart(const std::string& operation) {
    Write(operation, "Start");
}

void TTraceLog::WriteEnd(const std::string& operation) {
    Write(operation, "End");
}

void TTraceLog::WriteResult(const std::string& operation, const std::string& text) {
    Write(operation, "End : Result=" + text);
}

void TTraceLog::WriteResult(const std::string& operation, const char* text) {
    WriteResult(operation, std::string(text ? text : ""));
}

void TTraceLog::WriteResult(const std::string& operation, bool value) {
    WriteResult(operation, std::string(value ? "true" : "false"));
}

void TTraceLog::WriteResult(const std::string& operation, int value) {
    WriteResult(operation, std::to_string(value));
}

void TTraceLog::Close() {
    if (int errorCode = file_.Close())
        throw EInOutError("ログファイル " + fileName_ + " を閉じられません: " + SystemErrorText(errorCode),
                          errorCode);
}

} // namespace towagi
