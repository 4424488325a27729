#pragma once
#include "support/update_state.h"
#include "transfer/ftp_params.h"
#include "transfer/qrd_ftp.h"

#include <functional>

namespace towagi {

// Where the connection settings come from. The update settings provide both steps (GetFTPParams and
// CheckFTPParams); they live above this layer and are handed down.
struct TFTPParamsSource {
    std::function<void(TFTPParams& params)> Get;
    // Raises with the setting's message when a required parameter is invalid.
    std::function<void(const TFTPParams& params)> Check;
};

// Copies host, port, account and password into the client; FTP_ConnectMode 1 selects passive transfers
// (progress window "Passive"), any other value or none active ("Active").
void ApplyConnectionSettings(TUpdateState& state, const TFTPParams& params, TQrdFTP& client);

// Progress texts, the updater window's caption with the host, settings read and checked, applied, and the
// connect with retries. Any failure is traced under "Execute" and raised as
// "本社サーバとの接続に失敗しました。". A cancel returns normally with the client unconnected.
void ConnectToServer(TUpdateState& state, TQrdFTP& client, TFTPParams& params,
                     const TFTPParamsSource& source);

// Up to ten connect attempts, 2 s apart, the cancel button checked before each; returns connected or
// cancelled. A connect that fails (refused, timed out, log-in rejected) ends it at once with that failure.
void FTP_IdConnectServer(TUpdateState& state, TQrdFTP& client);

} // namespace towagi
