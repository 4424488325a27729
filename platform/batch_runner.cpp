#include "platform/batch_runner.h"

#include "platform/process.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>

extern char** environ;

namespace towagi {
namespace {

namespace fs = std::filesystem;

// The command interpreter's exit code for a command it cannot find.
constexpr int kNotRecognised = 9009;

const char* const kSyntaxError = "コマンドの構文が誤っています。";

void Tell(int fd, const std::string& text) {
    WriteAll(fd, text.data(), text.size());
}

std::string TrimBlanks(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The stage between two commands of a pipeline: a file that exists only while it is open.
FileDescriptor TemporaryStream() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = tmp && *tmp ? tmp : "/tmp";
    FileDescriptor fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.IsOpen()) return fd;
    std::string pattern = folder + "/towagi-bat.XXXXXX";
    fd.Reset(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.IsOpen()) ::unlink(pattern.c_str());
    return fd;
}

// Lines of a descriptor, one at a time; CR LF and LF end a line.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    bool Next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == size_) {
                const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) break;
                pos_ = 0;
                size_ = static_cast<std::size_t>(got);
            }
            any = true;
            const char* start = buffer_.data() + pos_;
            const char* end = static_cast<const char*>(std::memchr(start, '\n', size_ - pos_));
            if (end) {
                line.append(start, end);
                pos_ += static_cast<std::size_t>(end - start) + 1;
                break;
            }
            line.append(start, size_ - pos_);
            pos_ = size_;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return any;
    }

private:
    int fd_;
    std::array<char, 8192> buffer_{};
    std::size_t pos_ = 0;
    std::size_t size_ = 0;
};

// Runs a listing program hidden and hands its output to `take` line by line; a program that cannot start
// or that fails gives nothing.
void ReadListing(const std::string& program, const std::string& parameters,
                 const std::function<void(const std::string&)>& take) {
    FileDescriptor output = TemporaryStream();
    if (!output.IsOpen()) return;
    const StartResult result = StartFile({.File = program,
                                          .Parameters = parameters,
                                          .Window = StartWindow::Hidden,
                                          .Wait = StartWait::WaitForExit,
                                          .Output = output.Get()});
    if (!result.Started || result.ExitCode != 0) return;
    ::lseek(output.Get(), 0, SEEK_SET);
    LineReader reader(output.Get());
    std::string line;
    while (reader.Next(line)) take(line);
}

// The words of a listing line and where each begins.
std::vector<std::pair<std::size_t, std::string>> Fields(const std::string& line) {
    std::vector<std::pair<std::size_t, std::string>> fields;
    std::size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
        const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
        fields.emplace_back(at, line.substr(at, end - at));
        at = end;
    }
    // A unit in a failed state carries a mark in front of its name.
    if (!fields.empty() && (fields.front().second == "●" || fields.front().second == "*"))
        fields.erase(fields.begin());
    return fields;
}

// A service unit's name as a service name; "" for a template ("getty@.service"), which is no service.
std::string ServiceName(const std::string& unit) {
    constexpr std::string_view kSuffix = ".service";
    std::string name = unit;
    if (name.size() > kSuffix.size() && name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0)
        name.resize(name.size() - kSuffix.size());
    return !name.empty() && name.back() == '@' ? std::string() : name;
}

std::string EnvironmentValue(const std::string& name) {
    if (const char* value = std::getenv(name.c_str())) return value;
    // Windows compares variable names without regard to letter case.
    for (char** entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const std::size_t equals = text.find('=');
        if (equals != std::string_view::npos && SameText(text.substr(0, equals), name))
            return std::string(text.substr(equals + 1));
    }
    return {};
}

// The name a built-in command goes by: a Windows path counts by its last part, and ".exe" is dropped; a
// Linux path never names a built-in.
std::string BuiltinName(const std::string& word) {
    if (word.find('/') != std::string::npos) return {};
    std::string name = LowerCase(word.substr(word.rfind('\\') + 1));
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) name.resize(name.size() - 4);
    return name;
}

// Words for the parameters text of StartFile, which splits at blanks and groups by double quotes.
std::string ParametersText(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (i > 1) text += ' ';
        const bool group = words[i].empty() || words[i].find_first_of(" \t") != std::string::npos;
        text += group ? "\"" + words[i] + "\"" : words[i];
    }
    return text;
}

int OpenRedirection(const TBatchRedirection& redirection) {
    const std::string target = SameText(redirection.Target, "nul") || SameText(redirection.Target, "nul:")
                                   ? std::string("/dev/null")
                                   : redirection.Target;
    if (redirection.Fd == 0) return ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    return ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (redirection.Append ? O_APPEND : O_TRUNC), 0666);
}

enum class Join { Always, IfSucceeded, IfFailed };

struct Step {
    Join When = Join::Always;
    std::vector<TBatchCommand> Pipeline;
};

struct ParsedLine {
    std::vector<Step> Steps;
    std::string Error; // the interpreter's message for a line it cannot read; nothing runs then
};

bool StartsWithRem(const std::string& line, std::size_t at) {
    if (line.size() < at + 3 || !SameText(line.substr(at, 3), "rem")) return false;
    return line.size() == at + 3 || line[at + 3] == ' ' || line[at + 3] == '\t';
}

ParsedLine ParseLine(const std::string& line) {
    ParsedLine parsed;
    Step step;
    TBatchCommand command;
    std::string word;
    bool inWord = false;
    bool quoted = false;
    int target = -1; // the redirection still waiting for its file name

    const auto endWord = [&] {
        if (!inWord) return;
        if (target >= 0)
            command.Redirections[static_cast<std::size_t>(target)].Target = word;
        else
            command.Words.push_back(word);
        target = -1;
        word.clear();
        inWord = false;
    };
    const auto endCommand = [&] {
        endWord();
        if (target >= 0) return false;
        command.Text = TrimBlanks(command.Text);
        step.Pipeline.push_back(std::move(command));
        command = {};
        return true;
    };
    const auto fail = [&](const std::string& message) {
        parsed.Steps.clear();
        parsed.Error = message;
        return parsed;
    };
    const auto atCommandStart = [&] { return !inWord && target < 0 && command.Words.empty(); };

    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        const auto keep = [&](char kept) {
            if (target < 0) command.Text += kept;
        };
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                word += c;
            keep(c);
            continue;
        }
        if (c == '@' && atCommandStart() && command.Redirections.empty()) continue;
        if (atCommandStart() && command.Redirections.empty() && StartsWithRem(line, i)) break;
        switch (c) {
        case '"':
            quoted = true;
            inWord = true;
            keep(c);
            break;
        case '^':
            if (i + 1 < line.size()) {
                word += line[++i];
                inWord = true;
                keep(line[i]);
            }
            break;
        case ' ':
        case '\t':
            endWord();
            keep(c);
            break;
        case '&':
        case '|': {
            if (!endCommand()) return fail(kSyntaxError);
            const bool doubled = i + 1 < line.size() && line[i + 1] == c;
            if (c == '|' && !doubled) break; // the next stage of the same pipeline
            if (doubled) ++i;
            parsed.Steps.push_back(std::move(step));
            step = {};
            step.When = !doubled ? Join::Always : c == '&' ? Join::IfSucceeded : Join::IfFailed;
            break;
        }
        case '<':
        case '>': {
            TBatchRedirection redirection;
            redirection.Fd = c == '<' ? 0 : 1;
            if (c == '>' && inWord && target < 0 && (word == "1" || word == "2")) {
                // "2>" and "1>": the digit names the descriptor, it is not an argument.
                redirection.Fd = word[0] - '0';
                word.clear();
                inWord = false;
                command.Text.pop_back();
            }
            endWord();
            if (target >= 0) return fail(kSyntaxError);
            if (c == '>' && i + 1 < line.size() && line[i + 1] == '>') {
                redirection.Append = true;
                ++i;
            }
            if (c == '>' && i + 2 < line.size() && line[i + 1] == '&' && line[i + 2] >= '0' && line[i + 2] <= '2') {
                redirection.ToFd = line[i + 2] - '0';
                i += 2;
                command.Redirections.push_back(redirection);
                break;
            }
            command.Redirections.push_back(redirection);
            target = static_cast<int>(command.Redirections.size()) - 1;
            break;
        }
        default:
            word += c;
            inWord = true;
            keep(c);
        }
    }
    if (!endCommand()) return fail(kSyntaxError);
    parsed.Steps.push_back(std::move(step));

    // An empty command on its own is nothing to run; an empty stage of a pipeline is an error.
    std::vector<Step> steps;
    for (Step& each : parsed.Steps) {
        const auto empty = [](const TBatchCommand& one) { return one.Words.empty() && one.Redirections.empty(); };
        if (each.Pipeline.size() > 1 && std::any_of(each.Pipeline.begin(), each.Pipeline.end(), empty))
            return fail("| の使い方が誤っています。");
        if (each.Pipeline.size() == 1 && empty(each.Pipeline.front())) continue;
        steps.push_back(std::move(each));
    }
    parsed.Steps = std::move(steps);
    return parsed;
}

int Find(const std::vector<std::string>& words, int input, int output, int error) {
    bool ignoreCase = false, invert = false, countOnly = false, numbered = false;
    std::optional<std::string> text;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() == 2 && word[0] == '/') {
            switch (LowerCase(word)[1]) {
            case 'i': ignoreCase = true; continue;
            case 'v': invert = true; continue;
            case 'c': countOnly = true; continue;
            case 'n': numbered = true; continue;
            default: break;
            }
            Tell(error, "FIND: 無効なスイッチです " + word + "\r\n");
            return 2;
        }
        if (text) {
            Tell(error, "FIND: ファイルからの検索には対応していません " + word + "\r\n");
            return 2;
        }
        text = word;
    }
    if (!text) {
        Tell(error, "FIND: パラメーターの書式が違います\r\n");
        return 2;
    }
    const std::string wanted = ignoreCase ? LowerCase(*text) : *text;
    LineReader reader(input);
    std::string line;
    long number = 0, count = 0;
    while (reader.Next(line)) {
        ++number;
        const bool contains = (ignoreCase ? LowerCase(line) : line).find(wanted) != std::string::npos;
        if (contains == invert) continue;
        ++count;
        if (!countOnly) Tell(output, (numbered ? "[" + std::to_string(number) + "]" : std::string()) + line + "\r\n");
    }
    if (countOnly) Tell(output, std::to_string(count) + "\r\n");
    return count > 0 ? 0 : 1;
}

int Echo(const std::string& text, int output) {
    std::string rest = text.size() > 4 ? TrimBlanks(text.substr(5)) : std::string();
    if (rest.empty())
        Tell(output, "ECHO は <ON> です。\r\n");
    else if (!SameText(rest, "on") && !SameText(rest, "off"))
        Tell(output, rest + "\r\n");
    return 0;
}

} // namespace

TServiceSources SystemServiceSources() {
    const std::vector<std::string> usual{
        "/etc/systemd/system.control", "/run/systemd/system.control", "/run/systemd/transient",
        "/run/systemd/generator.early", "/etc/systemd/system",         "/etc/systemd/system.attached",
        kSystemdRuntimeFolder,          "/run/systemd/system.attached", "/run/systemd/generator",
        "/usr/local/lib/systemd/system", "/usr/lib/systemd/system",     "/lib/systemd/system",
        "/run/systemd/generator.late"};
    TServiceSources sources{usual, "/etc/init.d"};
    if (const char* path = std::getenv("SYSTEMD_UNIT_PATH")) {
        sources.UnitFolders.clear();
        const std::string text = path;
        std::size_t start = 0;
        for (;;) {
            const std::size_t colon = text.find(':', start);
            const std::string folder =
                text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!folder.empty()) sources.UnitFolders.push_back(folder);
            if (colon == std::string::npos) {
                if (folder.empty()) sources.UnitFolders.insert(sources.UnitFolders.end(), usual.begin(), usual.end());
                break;
            }
            start = colon + 1;
        }
    }
    const char* manager = std::getenv(kServiceManagerVariable);
    if (manager && *manager) {
        sources.SystemdRunning = SameText(manager, "systemd");
    } else {
        struct stat info {};
        sources.SystemdRunning = ::lstat(kSystemdRuntimeFolder, &info) == 0 && S_ISDIR(info.st_mode);
    }
    return sources;
}

std::vector<TServiceInfo> ListServices(const TServiceSources& sources) {
    std::vector<TServiceInfo> services;
    std::set<std::string> seen;
    const auto add = [&](const std::string& name, const std::string& displayName, bool running) {
        if (name.empty() || !seen.insert(name).second) return;
        services.push_back({name, displayName.empty() ? name : displayName, running});
    };
    if (const std::string systemctl = sources.SystemdRunning ? FindOnPath("systemctl") : std::string();
        !systemctl.empty()) {
        ReadListing(systemctl, "list-units --type=service --all --no-legend --no-pager --plain",
                    [&](const std::string& line) {
                        const auto fields = Fields(line);
                        if (fields.empty()) return;
                        const std::string description =
                            fields.size() > 4 ? TrimBlanks(line.substr(fields[4].first)) : std::string();
                        add(ServiceName(fields[0].second), description, fields.size() > 2 && fields[2].second == "active");
                    });
    }
    // Each folder's names in order; a folder that does not exist adds nothing.
    const auto namesIn = [](const std::string& folder, const auto& wanted) {
        std::vector<std::string> names;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            std::error_code ignored;
            if (name.front() != '.' && !it->is_directory(ignored) && wanted(*it, name)) names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    constexpr std::string_view kSuffix = ".service";
    for (const std::string& folder : sources.UnitFolders) {
        // Masked units (links to /dev/null) are listed too, as disabled services are.
        for (const std::string& name : namesIn(folder, [&](const fs::directory_entry&, const std::string& each) {
                 return each.size() > kSuffix.size() &&
                        each.compare(each.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
             }))
            add(ServiceName(name), "", false);
    }
    for (const std::string& name : namesIn(sources.InitScriptFolder, [](const fs::directory_entry& entry, const std::string& each) {
             std::error_code ignored;
             return each != "README" && each != "skeleton" && entry.is_regular_file(ignored) &&
                    ::access(entry.path().c_str(), X_OK) == 0;
         }))
        add(name, name, false);
    return services;
}

TBatchRunner::TBatchRunner(TServiceSources sources, TBatchConsole console)
    : sources_(std::move(sources)), console_(console) {}

const std::vector<TServiceInfo>& TBatchRunner::Services() {
    if (!services_) services_ = ListServices(sources_);
    return *services_;
}

std::string TBatchRunner::Expand(const std::string& line) const {
    std::string expanded;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '%') {
            expanded += line[i];
            continue;
        }
        if (i + 1 >= line.size()) break; // a lone "%" at the end is dropped, as in a batch file
        const char next = line[i + 1];
        if (next == '%') {
            expanded += '%';
            ++i;
        } else if (next >= '0' && next <= '9') {
            const std::size_t n = static_cast<std::size_t>(next - '0');
            expanded += n == 0 ? batchFile_ : n <= arguments_.size() ? arguments_[n - 1] : std::string();
            ++i;
        } else if (next == '*') {
            for (std::size_t k = 0; k < arguments_.size(); ++k) expanded += (k ? " " : "") + arguments_[k];
            ++i;
        } else if (line.compare(i + 1, 4, "~dp0") == 0) {
            std::error_code ignored;
            expanded += IncludeTrailingSeparator(fs::absolute(batchFile_, ignored).parent_path().string());
            i += 4;
        } else if (const std::size_t close = line.find('%', i + 1); close != std::string::npos) {
            const std::string name = line.substr(i + 1, close - i - 1);
            // ERRORLEVEL is the interpreter's own unless the environment sets it.
            const bool own = SameText(name, "ERRORLEVEL") && !std::getenv(name.c_str()) && !std::getenv("ERRORLEVEL");
            expanded += own ? std::to_string(errorLevel_) : EnvironmentValue(name);
            i = close;
        }
        // Otherwise the "%" has no partner and is dropped.
    }
    return expanded;
}

int TBatchRunner::RunFile(const std::string& path, const std::vector<std::string>& arguments) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Tell(console_.Error, "バッチファイル " + path + " を開けません: " + SystemErrorText(errno) + "\n");
        return 1;
    }
    batchFile_ = path;
    arguments_ = arguments;
    errorLevel_ = 0;
    std::string bytes;
    bool first = true, utf8 = false;
    while (std::getline(in, bytes)) {
        if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
        if (first && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            utf8 = true;
            bytes.erase(0, 3);
        }
        first = false;
        if (utf8 && !IsValidUTF8(bytes)) {
            Tell(console_.Error, "文字コードを変換できません: " + path + "\n");
            return 1;
        }
        try {
            RunLine(utf8 ? bytes : FromCP932(bytes, path));
        } catch (const EEncodingError& e) {
            Tell(console_.Error, std::string(e.what()) + "\n");
            return 1;
        }
    }
    return errorLevel_;
}

int TBatchRunner::RunLine(const std::string& line) {
    const std::string text = TrimBlanks(line);
    // Labels and "::" comments; nothing runs.
    if (text.empty() || text.front() == ':') return errorLevel_;
    const ParsedLine parsed = ParseLine(Expand(text));
    if (!parsed.Error.empty()) {
        Tell(console_.Error, parsed.Error + "\r\n");
        return errorLevel_ = 1;
    }
    for (const Step& step : parsed.Steps) {
        if (step.When == Join::IfSucceeded && errorLevel_ != 0) continue;
        if (step.When == Join::IfFailed && errorLevel_ == 0) continue;
        errorLevel_ = RunPipeline(step.Pipeline);
    }
    return errorLevel_;
}

int TBatchRunner::RunPipeline(const std::vector<TBatchCommand>& pipeline) {
    FileDescriptor previous; // what the stage before wrote, read by the next one
    int code = 0;
    for (std::size_t k = 0; k < pipeline.size(); ++k) {
        const bool last = k + 1 == pipeline.size();
        FileDescriptor piped;
        if (!last) {
            piped = TemporaryStream();
            if (!piped.IsOpen()) {
                Tell(console_.Error, "一時ファイルを作成できません: " + SystemErrorText(errno) + "\r\n");
                return 1;
            }
        }
        std::array<int, 3> fds{previous.IsOpen() ? previous.Get() : console_.Input,
                               last ? console_.Output : piped.Get(), console_.Error};
        std::vector<FileDescriptor> opened;
        bool ready = true;
        for (const TBatchRedirection& redirection : pipeline[k].Redirections) {
            if (redirection.ToFd >= 0) {
                fds[static_cast<std::size_t>(redirection.Fd)] = fds[static_cast<std::size_t>(redirection.ToFd)];
                continue;
            }
            FileDescriptor file(OpenRedirection(redirection));
            if (!file.IsOpen()) {
                Tell(fds[2], SystemErrorText(errno) + "\r\n");
                ready = false;
                break;
            }
            fds[static_cast<std::size_t>(redirection.Fd)] = file.Get();
            opened.push_back(std::move(file));
        }
        code = ready ? RunCommand(pipeline[k], fds[0], fds[1], fds[2]) : 1;
        if (!last) ::lseek(piped.Get(), 0, SEEK_SET);
        previous = std::move(piped);
    }
    return code;
}

int TBatchRunner::RunCommand(const TBatchCommand& command, int input, int output, int error) {
    if (command.Words.empty()) return 0;
    const std::string& name = command.Words.front();
    const std::string builtin = BuiltinName(name);
    if (builtin == "sc") return Sc(command.Words, output, error);
    if (builtin == "find") return Find(command.Words, input, output, error);
    if (builtin == "echo") return Echo(command.Text, output);
    if (builtin == "echo.") {
        Tell(output, "\r\n");
        return 0;
    }
    // A Windows path means the program of that name here.
    const std::string file = name.find('/') != std::string::npos ? name : name.substr(name.rfind('\\') + 1);
    const StartResult result = StartFile({.File = file,
                                          .Parameters = ParametersText(command.Words),
                                          .Window = console_.Window,
                                          .Wait = StartWait::WaitForExit,
                                          .Input = input,
                                          .Output = output,
                                          .ErrorOutput = error});
    if (result.Started) return result.ExitCode;
    if (result.ErrorCode == ENOENT) {
        Tell(error, "'" + name + "' は、内部コマンドまたは外部コマンド、\r\n操作可能なプログラムまたはバッチ ファイルとして認識されていません。\r\n");
        return kNotRecognised;
    }
    Tell(error, result.ErrorText + "\r\n");
    return 1;
}

int TBatchRunner::Sc(const std::vector<std::string>& words, int output, int error) {
    if (words.size() < 2 || !SameText(words[1], "query")) {
        Tell(error, "[SC] 対応していないコマンドです。\r\n");
        return 1;
    }
    enum class Wanted { Active, Inactive, All } wanted = Wanted::Active;
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (i + 1 < words.size() && SameText(words[i], "type=")) {
            ++i; // every entry listed is a service
            continue;
        }
        if (i + 1 < words.size() && SameText(words[i], "state=")) {
            const std::string& state = words[++i];
            if (SameText(state, "all")) {
                wanted = Wanted::All;
                continue;
            }
            if (SameText(state, "inactive")) {
                wanted = Wanted::Inactive;
                continue;
            }
            if (SameText(state, "active")) {
                wanted = Wanted::Active;
                continue;
            }
        }
        Tell(error, "[SC] パラメーターが正しくありません: " + words[i] + "\r\n");
        return 87;
    }
    for (const TServiceInfo& service : Services()) {
        if ((wanted == Wanted::Active && !service.Running) || (wanted == Wanted::Inactive && service.Running)) continue;
        Tell(output, "\r\nSERVICE_NAME: " + service.Name + "\r\nDISPLAY_NAME: " + service.DisplayName +
                         "\r\n        STATE              : " + (service.Running ? "4  RUNNING" : "1  STOPPED") +
                         "\r\n");
    }
    return 0;
}

} // namespace towagi
