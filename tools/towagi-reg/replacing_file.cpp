#include "tools/towagi-reg/replacing_file.h"

#include "support/errors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace towagi {
namespace {

constexpr size_t kBufferBytes = 1 << 16;

} // namespace

ReplacingFile::ReplacingFile(const std::string& path) : path_(path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Beside the final name (a rename does not cross file systems), in the suite's temporary form, so that a
    // file left by a killed export is recognised as a leftover.
    temporary_ = TemporaryFilePattern(folder, name);
    file_.Reset(::mkostemp(temporary_.data(), O_CLOEXEC));
    if (!file_.IsOpen()) {
        const int error = errno;
        temporary_.clear();
        throw EInOutError("ファイル " + path_ + " を作成できません: " + SystemErrorText(error), error);
    }
    buffer_.reserve(kBufferBytes);
}

ReplacingFile::~ReplacingFile() {
    if (!committed_ && !temporary_.empty()) {
        file_.Reset();
        ::unlink(temporary_.c_str());
    }
}

void ReplacingFile::WriteFailed(int error) const {
    throw EInOutError("ファイル " + path_ + " に書き込めません: " + SystemErrorText(error), error);
}

void ReplacingFile::Flush() {
    if (!WriteAll(file_.Get(), buffer_.data(), buffer_.size())) WriteFailed(errno);
    buffer_.clear();
}

void ReplacingFile::Write(std::string_view bytes) {
    buffer_.append(bytes);
    if (buffer_.size() >= kBufferBytes) Flush();
}

void ReplacingFile::Commit() {
    Flush();
    mode_t mode = 0644;
    struct stat info {};
    if (::stat(path_.c_str(), &info) == 0 && S_ISREG(info.st_mode)) mode = info.st_mode & 07777;
    if (::fchmod(file_.Get(), mode) != 0) WriteFailed(errno);
    if (::fsync(file_.Get()) != 0) WriteFailed(errno);
    if (int error = file_.Close()) WriteFailed(error);
    if (::rename(temporary_.c_str(), path_.c_str()) != 0) {
        const int error = errno;
        throw EInOutError("ファイル " + path_ + " を作成できません: " + SystemErrorText(error), error);
    }
    committed_ = true;
}

} // namespace towagi
