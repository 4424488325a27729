#include "transfer/update_settings.h"

#include "database/control_settings.h"
#include "support/errors.h"
#include "support/ini_file.h"
#include "support/settings.h"
#include "support/text.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>

namespace towagi {
namespace {

// The password never reaches the trace log; the value itself is used as read.
constexpr const char* kMaskedPassword = "****";

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
struct IfAddrsFree {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

std::string DottedText(const sockaddr* address) {
    std::array<char, INET_ADDRSTRLEN> text{};
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
    if (!inet_ntop(AF_INET, &ipv4->sin_addr, text.data(), text.size())) return "";
    return text.data();
}

std::vector<std::string> EntriesOf(const TIniFile& table, const std::string& section,
                                   const std::string& prefix) {
    std::vector<std::string> values;
    for (const std::string& key : table.ReadSection(section)) {
        if (key.compare(0, prefix.size(), prefix) == 0) values.push_back(table.ReadString(section, key, ""));
    }
    return values;
}

} // namespace

std::string ReadUpdateString(const EditionProfile& profile, const std::string& name) {
    return ReadEditionString(profile, kUpdateKey, name);
}

std::int32_t ReadUpdateInteger(const EditionProfile& profile, const std::string& name) {
    return ReadEditionInteger(profile, kUpdateKey, name);
}

bool UpdateSwitchOn(const EditionProfile& profile, const std::string& name) {
    return ReadUpdateInteger(profile, name) == 1;
}

void GetFTPParams(TUpdateState& state, TFTPParams& params) {
    const EditionProfile& profile = *state.Profile;
    state.TraceLog->WriteStart("GetFTPParams");
    params.Host = SplitAtFirst(ReadUpdateString(profile, "FTP_Host"), ":").Before;
    params.Port = ReadUpdateInteger(profile, "FTP_Port");
    params.UserID = ReadUpdateString(profile, "FTP_UserID");
    params.Password = ReadUpdateString(profile, "FTP_Password");
    // Read with the others, so the cost edition takes it through its settings object too.
    params.ConnectMode = ReadUpdateInteger(profile, "FTP_ConnectMode");
    state.TraceLog->WriteResult("GetFTPParams",
                                " Host=" + params.Host + " Port=" + std::to_string(params.Port) +
                                    " UserID=" + params.UserID + " Password=" + kMaskedPassword);
}

void CheckFTPParams(TUpdateState& state, const TFTPParams& params) {
    state.TraceLog->WriteStart("CheckFTPParams");
    if (IsBlank(params.Host))
        _CheckFTPParams(state, "接続に必要なパラメータ(Host)の設定が不正です。", "Host=" + params.Host);
    if (params.Port == 0)
        _CheckFTPParams(state, "接続に必要なパラメータ(FTP Port)の設定が不正です。",
                        "Port=" + std::to_string(params.Port));
    if (IsBlank(params.UserID))
        _CheckFTPParams(state, "接続に必要なパラメータ(ユーザID)の設定が不正です。",
                        "UserID=" + params.UserID);
    state.TraceLog->WriteEnd("CheckFTPParams");
}

void _CheckFTPParams(TUpdateState& state, const std::string& message, const std::string& detail) {
    state.TraceLog->Write("_CheckFTPParams", message);
    state.TraceLog->Write("_CheckFTPParams", detail);
    throw EUpdateError(message + "\r\n" + detail);
}

std::string GetLocalIPAddress() {
    std::array<char, 128> hostName{};
    if (gethostname(hostName.data(), hostName.size() - 1) != 0) return "";
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(hostName.data(), nullptr, &hints, &found) != 0 || !found) return "";
    std::unique_ptr<addrinfo, AddrInfoFree> list(found);
    return DottedText(list->ai_addr);
}

std::vector<std::string> GetLocalAddresses() {
    std::vector<std::string> addresses;
    ifaddrs* found = nullptr;
    if (getifaddrs(&found) != 0) return addresses;
    std::unique_ptr<ifaddrs, IfAddrsFree> list(found);
    for (const ifaddrs* entry = list.get(); entry; entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET)
            addresses.push_back(DottedText(entry->ifa_addr));
    }
    return addresses;
}

std::vector<std::string> ReadBranchSections(const EditionProfile& profile) {
    return TIniFile(profile.BranchTableFileName).ReadSections();
}

std::vector<std::string> ReadBranchEntries(const EditionProfile& profile, const std::string& section,
                                           const std::string& prefix) {
    return EntriesOf(TIniFile(profile.BranchTableFileName), section, prefix);
}

std::string FindBranch(const EditionProfile& profile, const std::string& address) {
    // One reading of the table serves the whole search.
    const TIniFile table(profile.BranchTableFileName);
    for (const std::string& section : table.ReadSections()) {
        for (const std::string& entry : EntriesOf(table, section, "IP")) {
            if (entry == address) return section;
        }
    }
    return "";
}

} // namespace towagi
