#include "platform/dialup_manager.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>

#include <charconv>

namespace towagi {
namespace {

using std::chrono::milliseconds;

// Status queries answer at once from the connection manager's own state; a client that takes longer is
// stuck and is ended.
constexpr milliseconds kQueryLimit{10'000};
constexpr milliseconds kStartLimit{10'000};
constexpr milliseconds kEndLimit{2'000};

constexpr const char* kCannotStart = "接続マネージャー(nmcli)を起動できませんでした。";
constexpr const char* kNoAnswer = "接続マネージャー(nmcli)が応答しませんでした。";

int Limit(milliseconds limit) {
    return static_cast<int>(std::min<long long>(limit.count(), 0x7fffffff));
}

NmReply EndedReply(QProcess& process) {
    NmReply reply;
    reply.Status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : kNmUnknownError;
    reply.Output = process.readAllStandardOutput().toStdString();
    for (const QByteArray& line : process.readAllStandardError().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty()) {
            reply.Message = trimmed.toStdString();
            break;
        }
    }
    return reply;
}

// Ends a command that is still running: politely first, then for good; it is always reaped.
void EndProcess(QProcess& process) {
    if (process.state() == QProcess::NotRunning) return;
    process.terminate();
    if (!process.waitForFinished(Limit(kEndLimit))) {
        process.kill();
        process.waitForFinished(-1);
    }
}

// Runs one nmcli command in the C locale, so that its terse output reads the same on every workstation.
NmReply RunNmcli(const QStringList& arguments, milliseconds limit) {
    const std::string nmcli = FindNmcli();
    if (nmcli.empty()) return {kNmUnknownError, {}, kCannotStart};
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C");
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(QString::fromStdString(nmcli), arguments);
    if (!process.waitForStarted(Limit(kStartLimit))) return {kNmUnknownError, {}, kCannotStart};
    if (!process.waitForFinished(Limit(limit)) && process.state() != QProcess::NotRunning) {
        EndProcess(process);
        return {kNmTimeout, {}, kNoAnswer};
    }
    return EndedReply(process);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace

std::string FindNmcli() {
    return QStandardPaths::findExecutable(QStringLiteral("nmcli")).toStdString();
}

std::vector<std::string> SplitTerseLine(const std::string& line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size())
            fields.back() += line[++i];
        else if (line[i] == ':')
            fields.emplace_back();
        else
            fields.back() += line[i];
    }
    return fields;
}

NmReply ListProfileNames(std::vector<std::string>& names) {
    names.clear();
    NmReply reply = RunNmcli({"-t", "-f", "NAME", "connection", "show"}, kQueryLimit);
    if (reply.Status != kNmSuccess) return reply;
    for (const auto& line : Lines(reply.Output))
        names.push_back(SplitTerseLine(line).front());
    return reply;
}

NmReply ListActiveConnections(std::vector<NmActiveConnection>& connections) {
    connections.clear();
    NmReply reply = RunNmcli({"-t", "-f", "NAME,DEVICE,STATE,ACTIVE-PATH", "connection", "show", "--active"},
                             kQueryLimit);
    if (reply.Status != kNmSuccess) return reply;
    for (const auto& line : Lines(reply.Output)) {
        auto fields = SplitTerseLine(line);
        if (fields.size() < 4) continue;
        connections.push_back({fields[0], fields[1], fields[2], fields[3]});
    }
    return reply;
}

int DeviceState(const std::string& device) {
    NmReply reply =
        RunNmcli({"-g", "GENERAL.STATE", "device", "show", QString::fromStdString(device)}, kQueryLimit);
    if (reply.Status != kNmSuccess) return -1;
    // "70 (connecting (getting IP configuration))": the number is what counts.
    int state = -1;
    const char* begin = reply.Output.data();
    auto [end, failure] = std::from_chars(begin, begin + reply.Output.size(), state);
    return failure == std::errc() && end != begin ? state : -1;
}

NmReply DeactivateConnection(const std::string& name, milliseconds limit) {
    return RunNmcli({"connection", "down", "id", QString::fromStdString(name)}, limit);
}

NmActivation::NmActivation(const std::string& name) : process_(std::make_unique<QProcess>()) {
    const std::string nmcli = FindNmcli();
    // The user's own environment: the connection manager's messages reach the user in the user's language.
    process_->setStandardInputFile(QProcess::nullDevice());
    if (!nmcli.empty())
        process_->start(QString::fromStdString(nmcli),
                        {"connection", "up", "id", QString::fromStdString(name)});
    if (nmcli.empty() || !process_->waitForStarted(Limit(kStartLimit))) {
        ended_ = true;
        reply_ = {kNmUnknownError, {}, kCannotStart};
    }
}

NmActivation::~NmActivation() {
    EndProcess(*process_);
}

bool NmActivation::WaitForEnd(milliseconds limit) {
    if (ended_) return true;
    if (!process_->waitForFinished(Limit(limit)) && process_->state() != QProcess::NotRunning) return false;
    reply_ = EndedReply(*process_);
    ended_ = true;
    return true;
}

} // namespace towagi
