// A stand-in for the archiver libraries that records every call and answers as the test says, so the
// adapters' command texts, arguments and failure paths can be seen exactly. Built once complete and once
// without each entry point (OMIT_<entry point>). Configured through the environment, read on every call:
//   TOWAGI_RECORDER_LOG      file that receives one line per call: the entry point and its arguments,
//                            separated by tabs (texts as the bytes received)
//   TOWAGI_RECORDER_RESULT   result of the command entry points (default 0)
//   TOWAGI_RECORDER_OUTPUT   text the command entry points leave in the output buffer
//   TOWAGI_RECORDER_VERSION  version number (default 920)
//   TOWAGI_RECORDER_RUNNING  result of SevenZipGetRunning (default 0)
//   TOWAGI_RECORDER_CHECK    result of SevenZipCheckArchive (default 1)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

long Setting(const char* name, long fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::strtol(value, nullptr, 0) : fallback;
}

void Record(const std::string& line) {
    const char* log = std::getenv("TOWAGI_RECORDER_LOG");
    if (!log) return;
    if (FILE* file = std::fopen(log, "ab")) {
        std::fputs((line + "\n").c_str(), file);
        std::fclose(file);
    }
}

[[maybe_unused]] int Command(const char* entry, void* window, const char* text, char* output,
                             std::uint32_t size) {
    Record(std::string(entry) + "\t" + (window ? "window" : "none") + "\t" + std::to_string(size) + "\t" +
           (text ? text : "(null)"));
    const char* answer = std::getenv("TOWAGI_RECORDER_OUTPUT");
    if (output && size > 0) {
        std::strncpy(output, answer ? answer : "", size - 1);
        output[size - 1] = '\0';
    }
    return static_cast<int>(Setting("TOWAGI_RECORDER_RESULT", 0));
}

[[maybe_unused]] std::uint16_t Version(const char* entry) {
    Record(entry);
    return static_cast<std::uint16_t>(Setting("TOWAGI_RECORDER_VERSION", 920));
}

} // namespace

#define RECORDED_COMMAND(name)                                                                               \
    RECORDER_EXPORT int name(void* window, const char* text, char* output, std::uint32_t size) {             \
        return Command(#name, window, text, output, size);                                                   \
    }
#define RECORDED_VERSION(name)                                                                               \
    RECORDER_EXPORT std::uint16_t name() {                                                                   \
        return Version(#name);                                                                               \
    }

#ifndef OMIT_SevenZip
RECORDED_COMMAND(SevenZip)
#endif
#ifndef OMIT_SevenZipGetVersion
RECORDED_VERSION(SevenZipGetVersion)
#endif
#ifndef OMIT_Unlha
RECORDED_COMMAND(Unlha)
#endif
#ifndef OMIT_UnlhaGetVersion
RECORDED_VERSION(UnlhaGetVersion)
#endif

#ifndef OMIT_SevenZipGetRunning
RECORDER_EXPORT int SevenZipGetRunning() {
    Record("SevenZipGetRunning");
    return static_cast<int>(Setting("TOWAGI_RECORDER_RUNNING", 0));
}
#endif

#ifndef OMIT_SevenZipCheckArchive
RECORDER_EXPORT int SevenZipCheckArchive(const char* path, int mode) {
    Record(std::string("SevenZipCheckArchive\t") + (path ? path : "(null)") + "\t" + std::to_string(mode));
    return static_cast<int>(Setting("TOWAGI_RECORDER_CHECK", 1));
}
#endif

#ifndef OMIT_UnlhaSetBackGroundMode
RECORDER_EXPORT int UnlhaSetBackGroundMode(int backGround) {
    Record("UnlhaSetBackGroundMode\t" + std::to_string(backGround));
    return 1;
}
#endif
