#include "startup/startup_sequence.h"

#include "database/data_module.h"
#include "platform/prompts.h"
#include "platform/settings_store.h"
#include "startup/command_line.h"
#include "startup/firebird_repair.h"
#include "startup/registry_import.h"
#include "startup/shell_execute.h"
#include "support/encoding.h"
#include "support/settings.h"
#include "updater/updater_window.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>

namespace towagi {
namespace {

// The restore tool repairs what a feature update of the OS may have damaged. It leaves its marker when
// the launcher must stop at once; the marker is removed so that the next start proceeds normally.
StartupOutcome RunRestoreTool(const EditionProfile& profile) {
    std::error_code ignored;
    if (!std::filesystem::exists(kRestoreTool, ignored)) return StartupOutcome::Continue;
    if (!ShellExecuteAndWait("", kRestoreTool, profile.RestoreToolParameters)) return StartupOutcome::EndProgram;
    if (std::filesystem::exists(kRestoreMarker, ignored)) {
        std::remove(kRestoreMarker);
        return StartupOutcome::EndProgram;
    }
    return StartupOutcome::Continue;
}

// The error box, and a line for the trace log that does not exist yet.
void PassOver(StartupState& state, const std::string& operation, const std::exception& error) {
    ShowError(error.what());
    state.TraceLines.push_back({operation, error.what()});
}

void CreateRegistryImporter(const EditionProfile& profile, StartupState& state) {
    try {
        state.RegImporter = std::make_unique<TVORNReg>(state.ProgramDir, profile.RegImportLogName);
    } catch (const std::exception& e) {
        PassOver(state, "TVORNReg", e);
    }
}

void ImportRegistryFiles(StartupState& state) {
    if (!state.RegImporter) return;
    try {
        state.RegImporter->ImportFolder(state.ProgramDir);
    } catch (const std::exception& e) {
        PassOver(state, "ImportFolder", e);
    }
}

} // namespace

StartupOutcome PrepareWorkstation(const EditionProfile& profile, StartupState& state,
                                  const std::string& programDir) {
    state.OSKnown = GetOSInfo(state.OS);
    if (!state.OSKnown) return StartupOutcome::Continue;
    state.ProgramDir = programDir;
    CreateRegistryImporter(profile, state);
    // Only the current OS generation is repaired; older systems skip every repair step.
    if (state.OS.MajorVersion != 10) return StartupOutcome::Continue;
    if (RunRestoreTool(profile) == StartupOutcome::EndProgram) return StartupOutcome::EndProgram;
    ImportRegistryFiles(state);
    // Without a Firebird folder there is no service to check; a refused repair ends the launcher.
    if (CheckFirebirdFolder(profile, state.ProgramDir) && !CheckFirebirdService(profile, state.ProgramDir))
        return StartupOutcome::RepairRefused;
    return StartupOutcome::Continue;
}

int RunStartupSequence(const EditionProfile& profile) {
    try {
        StartupState state;
        switch (PrepareWorkstation(profile, state, GetProgramDir())) {
        case StartupOutcome::EndProgram: return 0;
        case StartupOutcome::RepairRefused: return kExitFailureShown;
        case StartupOutcome::Continue: break;
        }
        // Lives to the end of the process. The cost edition's data module comes first, because its window's
        // creation step uses it; the estimation edition's follows the window.
        std::unique_ptr<TDataModule> dataModule;
        const auto createDataModule = [&] {
            dataModule = std::make_unique<TDataModule>(profile);
            dataModule->DataModuleCreate();
            if (!dataModule->ConnectFailure.empty())
                state.TraceLines.push_back({"DataModuleCreate", PrintableText(dataModule->ConnectFailure)});
        };
        if (profile.DataModuleBeforeWindow) createDataModule();
        auto window = std::make_unique<TUpdaterWindow>(profile, state.RegImporter.get());
        if (!dataModule) createDataModule();
        for (const StartupTraceLine& line : state.TraceLines) {
            // A line the log cannot take is no reason to keep the suite from starting.
            try {
                window->State().TraceLog->Write(line.Operation, line.Text);
            } catch (const std::exception&) {
            }
        }
        // The application ends when the window has closed and its last prompt has been answered.
        QApplication::setQuitOnLastWindowClosed(false);
        QObject::connect(window.get(), &TUpdaterWindow::Finished, qApp, &QCoreApplication::quit,
                         Qt::QueuedConnection);
        window->show();
        return QApplication::exec();
    } catch (const std::exception& e) {
        // Before the updater window exists an error box is the only way to tell the user.
        ShowError(e.what());
        return kExitFailureShown;
    }
}

int RunProgramEntry(const EditionProfile& profile, int argc, char** argv) {
    if (const auto exitCode = HandleCommandLine(profile, {argv, argv + argc}, std::cout, std::cerr))
        return *exitCode;
    // Without a display Qt would abort; the user at a terminal reads why instead.
    if (const std::string missing = MissingDisplay(); !missing.empty()) {
        std::cerr << profile.ProgramName << ": " << missing << std::endl;
        return kExitCannotStart;
    }
    // The windows name the suite's own fonts; the alias file beside the launcher maps them to installed ones.
    const std::string fontAliases = GetProgramDir() + kFontAliasFile;
    std::error_code ignored;
    if (!std::getenv("FONTCONFIG_FILE") && std::filesystem::exists(fontAliases, ignored))
        setenv("FONTCONFIG_FILE", fontAliases.c_str(), 1);
    std::optional<QApplication> application;
    {
        DisplayFailureGuard displayFailure(profile.ProgramName);
        application.emplace(argc, argv);
    }
    // The name only, not a display name: Qt would add a display name to every window's caption.
    QApplication::setApplicationName(QString::fromStdString(profile.ProgramName));
    InstallSettingsStore(std::make_shared<SqliteSettingsStore>());
    auto prompts = std::make_shared<FailureNotingPrompts>(std::make_shared<QtPrompts>());
    InstallPrompts(prompts);
    const int exitCode = RunStartupSequence(profile);
    // A run that told the user of a failure says so to whoever started it, also when it went on.
    return exitCode == 0 && prompts->FailureShown() ? kExitFailureShown : exitCode;
}

} // namespace towagi
