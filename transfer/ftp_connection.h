#pragma once
#include "model/update_state.h"
#include "transfer/ftp_params.h"
#include "transfer/qrd_ftp.h"

#include <functional>
#include <memory>

namespace towagi {

// The update's FTP client: the edition's time-outs, the state's clock and trace log.
std::unique_ptr<TQrdFTP> CreateFTPClient(TUpdateState& state);

// Where the connection settings come from: the update settings (GetFTPParams, CheckFTPParams), or in tests
// fixed parameters and a check that may refuse them.
struct TFTPParamsSource {
    std::function<void(TFTPParams& params)> Get;
    // Raises with the setting's message when a required parameter is invalid.
    std::function<void(const TFTPParams& params)> Check;
};

// Copies host, port, account and password into the client; FTP_ConnectMode 1 selects passive transfers
// (progress window "Passive"), any other value or none active ("Active").
void ApplyConnectionSettings(TUpdateState& state, const TFTPParams& params, TQrdFTP& client);

// Progress texts, the updater window's caption with the host, the update settings read and checked, applied,
// and the connect with retries. Any failure is traced under "Execute" and raised as
// "本社サーバとの接続に失敗しました。". A cancel returns normally with the client unconnected.
void ConnectToServer(TUpdateState& state, TQrdFTP& client, TFTPParams& params);
// The same with the settings taken from `source`.
void ConnectToServer(TUpdateState& state, TQrdFTP& client, TFTPParams& params,
                     const TFTPParamsSource& source);

// Sets the client's connect time-outs, then up to ten connect attempts, 2 s apart, the cancel button
// checked before each; returns connected or cancelled. A connect that fails (refused, timed out, log-in
// rejected) ends it at once with that failure.
void FTP_IdConnectServer(TUpdateState& state, TQrdFTP& client);

} // namespace towagi
