#pragma once
#include "support/file_utils.h"

#include <string>
#include <string_view>

namespace towagi {

// A file written under a temporary name beside its final one and renamed over it only when complete: a
// failed or interrupted write never leaves half a file, and an old file of that name stays as it was until
// the new one is whole. Destroyed without Commit, the temporary file is removed.
class ReplacingFile {
public:
    // Raises EInOutError "ファイル <path> を作成できません: ..." when the temporary file cannot be made.
    explicit ReplacingFile(const std::string& path);
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    // Buffered; raises EInOutError naming the file when the disk refuses.
    void Write(std::string_view bytes);
    // On the disk, then under the final name (with an old file's permissions, else 0644).
    void Commit();

private:
    void Flush();
    [[noreturn]] void WriteFailed(int error) const;

    std::string path_;
    std::string temporary_;
    FileDescriptor file_;
    std::string buffer_;
    bool committed_ = false;
};

} // namespace towagi
