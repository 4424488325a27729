#include "platform/archivers/archiver_call.h"

#include "platform/archivers/archive_reader.h"
#include "platform/archivers/archiver_api.h"
#include "platform/archivers/shown_bytes.h"
#include "support/encoding.h"
#include "support/errors.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace towagi::archivers {
namespace {

bool IsCP932LeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

void WriteOutput(char* output, std::uint32_t size, const std::string& text) {
    if (!output || size == 0) return;
    const std::string bytes = OutputBytes(text);
    size_t length = 0;
    while (length < bytes.size()) {
        const size_t step = IsCP932LeadByte(static_cast<unsigned char>(bytes[length])) ? 2 : 1;
        if (length + step > size - 1) break;
        length += step;
    }
    std::memcpy(output, bytes.data(), length);
    output[length] = '\0';
}

} // namespace

std::string OutputBytes(const std::string& text) {
    try {
        return ToCP932(text, "出力");
    } catch (const EEncodingError&) {
    }
    // Only the characters CP932 cannot hold are shown as \xNN; the rest of the text stays readable.
    std::string bytes;
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = std::min<size_t>(lead >= 0xF0   ? 4
                                               : lead >= 0xE0 ? 3
                                               : lead >= 0xC0 ? 2
                                                              : 1,
                                               text.size() - i);
        const std::string_view character(text.data() + i, length);
        try {
            bytes += ToCP932(character, "出力");
        } catch (const EEncodingError&) {
            bytes += ShownBytes(character);
        }
        i += length;
    }
    return bytes;
}

std::string Passphrase(const std::optional<std::string>& password) {
    return password ? ToCP932(*password, "パスワード") : std::string();
}

int RunCommand(std::atomic<int>& running, const char* commandText, char* output, std::uint32_t size,
               const std::string& failurePrefix, const std::vector<CommandWord>& commands) {
    RunningCount count(running);
    int result = kArchiverOk;
    std::string text;
    try {
        if (!count.First()) throw EArchiverError(kArchiverAlreadyRunning, "他の処理を実行中です");
        if (!commandText) throw EArchiverError(kArchiverBadCommand, "コマンドがありません");
        Utf8ThreadLocale utf8;
        CommandText command(FromCP932(commandText, "コマンド"));
        const auto word = std::find_if(commands.begin(), commands.end(),
                                       [&](const CommandWord& c) { return command.Command() == c.Word; });
        if (word == commands.end())
            throw EArchiverError(kArchiverBadCommand, "コマンドが違います: " + command.Command());
        text = word->Work(command);
    } catch (const EArchiverError& e) {
        result = e.Code;
        text = failurePrefix + e.what();
    } catch (const EEncodingError& e) {
        result = kArchiverBadCommand;
        text = failurePrefix + e.what();
    } catch (const std::bad_alloc&) {
        result = kArchiverCannotWrite;
        text = failurePrefix + "メモリが不足しています";
    } catch (const std::exception& e) {
        result = kArchiverCannotWrite;
        text = failurePrefix + e.what();
    } catch (...) {
        result = kArchiverCannotWrite;
        text = failurePrefix + "処理に失敗しました";
    }
    try {
        WriteOutput(output, size, text);
    } catch (...) {
        if (output && size > 0) output[0] = '\0';
    }
    return result;
}

bool CheckArchive(std::atomic<int>& running, const char* archivePath,
                  const std::function<void(const std::string&)>& check) {
    RunningCount count(running);
    if (!count.First() || !archivePath) return false;
    try {
        Utf8ThreadLocale utf8;
        check(FromCP932(archivePath, "書庫名"));
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace towagi::archivers
