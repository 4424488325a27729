#pragma once
#include "support/file_utils.h"

#include <string>

namespace towagi {

// The updater's trace log: one line per event, "yyyy/mm/dd hh:nn:ss ; operation ; text" and CR LF, in CP932.
// The file is emptied when the log is created and stays locked against a second writer (another launcher)
// until the log is destroyed. Every line goes to the system with one write, so the file is complete up to
// the last event even when the process is killed.
class TTraceLog {
public:
    // Raises EInOutError naming the file when it cannot be created, truncated or locked.
    explicit TTraceLog(const std::string& fileName);
    TTraceLog(const TTraceLog&) = delete;
    TTraceLog& operator=(const TTraceLog&) = delete;

    // Each raises EInOutError when the line cannot be written and EEncodingError when it has characters
    // that CP932 cannot hold.
    void Write(const std::string& operation, const std::string& text);
    void WriteStart(const std::string& operation);
    void WriteEnd(const std::string& operation);
    void WriteResult(const std::string& operation, const std::string& text);
    // Without it a string literal would convert to bool, not to std::string.
    void WriteResult(const std::string& operation, const char* text);
    void WriteResult(const std::string& operation, bool value);
    void WriteResult(const std::string& operation, int value);

    // Closes the file and raises EInOutError when that fails; the destructor closes quietly otherwise.
    void Close();

    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    FileDescriptor file_;
};

} // namespace towagi
