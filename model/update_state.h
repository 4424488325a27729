#pragma once
#include "model/edition_profile.h"
#include "model/retry_clock.h"
#include "support/trace_log.h"

#include <array>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace towagi {

// What the update's steps write into the progress window and the signals they poll. The updater window
// realises it with the real progress window; the lower layers never see the window classes.
class ProgressView {
public:
    virtual ~ProgressView() = default;
    virtual void SetCaption(const std::string& text) = 0;      // the window's caption
    virtual void SetTitle(const std::string& text) = 0;        // lblTitle: the current phase
    virtual void SetStatus(const std::string& text) = 0;       // lblStatus: detail of the phase
    // A step that shows its own texts for a while puts these back afterwards.
    virtual std::string TitleText() const = 0;
    virtual std::string StatusText() const = 0;
    virtual void SetFileName(const std::string& text) = 0;     // lblFileName: the current file
    virtual void SetMessage(const std::string& text) = 0;      // lblMsg: a transient message
    virtual void SetTransferMode(const std::string& text) = 0; // lblPsv: "Passive" or "Active"
    virtual std::string TransferMode() const = 0;
    // Each phase starts at position 0 with step 1 and its own maximum, then advances.
    virtual void StartProgress(int maximum) = 0;
    virtual void StepProgress() = 0;
    virtual void SetProgressPosition(int position) = 0;
    virtual void SetCancelEnabled(bool enabled) = 0;
    virtual bool Cancelled() const = 0;
    // The engine gave up reconnecting; nothing resets it.
    virtual void SetCancelled() = 0;
    virtual bool Reconnect() const = 0;
    virtual void SetReconnect(bool reconnect) = 0;
    // Repaints and lets button clicks and timer events take effect.
    virtual void ProcessMessages() = 0;
};

// The updater window's own lines, which some steps change (its caption names the server while connecting).
class UpdaterView {
public:
    virtual ~UpdaterView() = default;
    virtual void SetCaption(const std::string& text) = 0;
    virtual std::string Caption() const = 0;
};

// Applies one registry file to the settings store in-process, when the registry tool cannot be started.
class RegistryFileImporter {
public:
    virtual ~RegistryFileImporter() = default;
    virtual void ImportFile(const std::string& path) = 0;
};

// The update's state: owned by the updater window for its whole life and handed down to every step.
struct TUpdateState {
    const EditionProfile* Profile = nullptr;
    std::unique_ptr<TTraceLog> TraceLog;
    UpdaterView* MainWindow = nullptr;
    ProgressView* ProgressWindow = nullptr;      // only while the progress window exists
    RegistryFileImporter* RegImporter = nullptr; // lent by the program entry; may be absent
    RetryClock* Clock = &SleepingClock();        // the pauses between retries
    // The user pressed cancel (or the download gave up); false while no progress window exists.
    bool Cancelled() const { return ProgressWindow && ProgressWindow->Cancelled(); }
    bool UpdateDeclined = false;
    bool AskBeforeUpdate = true;
    std::string ExeName; // the running launcher's file name, no folder
    std::string ExeDir;  // its folder, ending with '/'
    std::string MainProgram;
    std::string UpdateKey;
    std::string UpdateDir;
    bool KeepOpen = false;
    std::vector<std::string> UpdateFiles;
    std::vector<std::string> ProtectionList;
    std::vector<std::string> MasterFiles; // estimation edition only
    // Per database slot: the local master archive's time before the download, plus ten seconds; empty
    // when the slot had no archive. A later archive is imported.
    std::array<std::optional<std::time_t>, 12> MasterBaseline;
    std::vector<std::string> LinkedSubFolders; // estimation edition only
};

} // namespace towagi
