#include "tests/common/fake_network_manager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sstream>

namespace towagi::testing {
namespace {

std::string PathWithFake() {
    const char* path = std::getenv("PATH");
    return FakeNetworkManager::ProgramFolder() + ":" + (path ? path : "/usr/bin:/bin");
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

std::string StateJson(const std::vector<FakeProfile>& profiles, const std::vector<FakeLink>& links) {
    QJsonArray profileArray, activeArray;
    QJsonObject devices;
    for (const auto& p : profiles) {
        QJsonArray states;
        for (int state : p.States)
            states.append(state);
        profileArray.append(QJsonObject{{"name", Text(p.Name)},
                                        {"device", Text(p.Device)},
                                        {"states", states},
                                        {"step", p.StepSeconds},
                                        {"outcome", Text(p.Outcome)},
                                        {"exit", p.Exit},
                                        {"message", Text(p.Message)},
                                        {"down", Text(p.Down)},
                                        {"down_seconds", p.DownSeconds}});
        devices[Text(p.Device)] = 30;
    }
    int serial = 0;
    for (const auto& link : links) {
        activeArray.append(QJsonObject{
            {"name", Text(link.Name)},
            {"device", Text(link.Device)},
            {"state", Text(link.State)},
            {"path", QString("/org/freedesktop/NetworkManager/ActiveConnection/%1").arg(++serial)}});
        devices[Text(link.Device)] = link.State == "activated" ? 100 : 40;
    }
    QJsonObject state{
        {"profiles", profileArray}, {"active", activeArray}, {"devices", devices}, {"serial", serial}};
    return QJsonDocument(state).toJson().toStdString();
}

} // namespace

std::string FakeNetworkManager::ProgramFolder() {
    return TOWAGI_FAKE_NMCLI_DIR;
}

FakeNetworkManager::FakeNetworkManager(const std::vector<FakeProfile>& profiles,
                                       const std::vector<FakeLink>& links)
    : folder_(dir_.Dir()), path_("PATH", PathWithFake()), state_("FAKE_NMCLI_DIR", dir_.Path().string()) {
    WriteFile(dir_.File("state.json"), StateJson(profiles, links));
}

std::vector<std::string> FakeNetworkManager::Calls() const {
    std::vector<std::string> calls;
    if (!std::filesystem::exists(dir_.File("calls.log"))) return calls;
    std::istringstream lines(ReadFile(dir_.File("calls.log")));
    for (std::string line; std::getline(lines, line);)
        calls.push_back(line);
    return calls;
}

bool FakeNetworkManager::Called(const std::string& call) const {
    const auto calls = Calls();
    return std::find(calls.begin(), calls.end(), call) != calls.end();
}

std::string FakeNetworkManager::LinkState(const std::string& name) const {
    const QJsonObject state =
        QJsonDocument::fromJson(QByteArray::fromStdString(ReadFile(dir_.File("state.json")))).object();
    for (const auto& value : state["active"].toArray()) {
        const QJsonObject link = value.toObject();
        if (link["name"].toString().toStdString() != name) continue;
        // The fake lets a hung-up link go once its time as "deactivating" has passed.
        if (link.contains("gone_at") && link["gone_at"].toDouble() <= static_cast<double>(std::time(nullptr)))
            return {};
        return link["state"].toString().toStdString();
    }
    return {};
}

NoNetworkManager::NoNetworkManager() : path_("PATH", empty_.Path().string()) {}

} // namespace towagi::testing
