#pragma once
#include <cstdint>
#include <string>

namespace towagi {

// The connection parameters of the head-office server, as the update settings hold them.
struct TFTPParams {
    std::string Host;       // FTP_Host up to its first ':'
    std::int32_t Port = -1; // FTP_Port; -1 when not set
    std::string UserID;
    std::string Password;
    std::int32_t ConnectMode = -1; // FTP_ConnectMode: 1 passive, anything else active
};

} // namespace towagi
