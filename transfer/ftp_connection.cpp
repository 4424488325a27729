#include "transfer/ftp_connection.h"

#include "transfer/update_settings.h"

#include <string>

namespace towagi {
namespace {

constexpr int kConnectAttempts = 10;
constexpr int kConnectRetryWait = 2000;
constexpr const char* kConnectFailed = "本社サーバとの接続に失敗しました。";
constexpr const char* kConnectOperation = "FTP_IdConnectServer";

} // namespace

std::unique_ptr<TQrdFTP> CreateFTPClient(TUpdateState& state) {
    return std::make_unique<TQrdFTP>(state.Profile->FtpTimeouts, *state.Clock, state.TraceLog.get());
}

void ApplyConnectionSettings(TUpdateState& state, const TFTPParams& params, TQrdFTP& client) {
    client.SetHost(params.Host);
    client.SetPort(params.Port);
    client.SetUsername(params.UserID);
    client.SetPassword(params.Password);
    const bool passive = params.ConnectMode == 1;
    client.SetPassive(passive);
    if (state.ProgressWindow) state.ProgressWindow->SetTransferMode(passive ? "Passive" : "Active");
}

void ConnectToServer(TUpdateState& state, TQrdFTP& client, TFTPParams& params) {
    ConnectToServer(state, client, params,
                    {[&state](TFTPParams& read) { GetFTPParams(state, read); },
                     [&state](const TFTPParams& read) { CheckFTPParams(state, read); }});
}

void ConnectToServer(TUpdateState& state, TQrdFTP& client, TFTPParams& params,
                     const TFTPParamsSource& source) {
    try {
        ProgressView* progress = state.ProgressWindow;
        if (progress) {
            progress->SetTitle("サーバに接続しています．．．");
            progress->SetStatus("");
            progress->SetFileName("");
            progress->StartProgress(9);
        }
        source.Get(params);
        if (state.MainWindow)
            state.MainWindow->SetCaption(state.Profile->ConnectingCaption + " (" + params.Host + ")");
        if (progress) progress->ProcessMessages();
        source.Check(params);
        ApplyConnectionSettings(state, params, client);
        FTP_IdConnectServer(state, client);
    } catch (const std::exception&) {
        // The user sees only this text; a failing settings check has traced its own reason.
        state.TraceLog->Write("Execute", kConnectFailed);
        throw EUpdateError(kConnectFailed);
    }
}

void FTP_IdConnectServer(TUpdateState& state, TQrdFTP& client) {
    TTraceLog& log = *state.TraceLog;
    const TFTPTimeouts& timeouts = client.Timeouts();
    log.WriteStart(kConnectOperation);
    if (timeouts.ConnectRead > 0) client.SetReadTimeout(timeouts.ConnectRead);
    client.SetConnectTimeout(timeouts.Connect);
    for (int attempt = 0; attempt < kConnectAttempts && !state.Cancelled(); ++attempt) {
        if (attempt > 0 && state.ProgressWindow) {
            state.ProgressWindow->SetFileName("Retry(" + std::to_string(attempt) + "/" +
                                              std::to_string(kConnectAttempts - 1) + ")");
            state.ProgressWindow->SetProgressPosition(attempt);
            state.ProgressWindow->ProcessMessages();
        }
        client.Connect();
        if (client.Connected()) {
            log.Write(kConnectOperation, "FTPサーバに接続しました");
            return;
        }
        if (attempt == kConnectAttempts - 1) throw EUpdateError(kConnectFailed);
        log.Write(kConnectOperation, "Retry(" + std::to_string(attempt) + ")");
        state.Clock->Pause(kConnectRetryWait);
    }
}

} // namespace towagi
