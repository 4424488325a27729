#include "updater/updater_window.h"

#include "apply/archive_adapters.h"
#include "apply/file_apply.h"
#include "apply/master_file_import.h"
#include "apply/update_run.h"
#include "platform/process.h"
#include "platform/prompts.h"
#include "platform/wait_cursor.h"
#include "support/errors.h"
#include "support/file_utils.h"
#include "support/ini_file.h"
#include "support/settings.h"
#include "support/text.h"
#include "transfer/update_settings.h"
#include "updater/progress_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <climits>
#include <filesystem>
#include <optional>

namespace towagi {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCaption = "積算『とわぎ』の起動";

QFont Mincho16() {
    QFont font(QStringLiteral("ＭＳ 明朝"));
    font.setPixelSize(16);
    return font;
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return fs::is_regular_file(path, ignored);
}

std::string OwnProgramFile() {
    std::error_code ignored;
    return fs::read_symlink("/proc/self/exe", ignored).string();
}

// Which check left no main program to start, for support staff reading the trace log: the show step ended
// before it looked (its error is shown after the close step), or none of the edition's programs is there.
std::string SetupInvalidReason(const EditionProfile& profile, const TUpdateState& state) {
    if (state.ExeDir.empty()) return "セットアップ不正 : メインプログラムを探す前に処理が終わりました";
    std::string names;
    for (const auto& choice : profile.MainPrograms)
        names += (names.empty() ? "" : ", ") + choice.FileName;
    return "セットアップ不正 : メインプログラム(" + names + ")が[" + state.ExeDir + "]にありません";
}

} // namespace

TUpdaterWindow::TUpdaterWindow(const EditionProfile& profile, RegistryFileImporter* regImporter,
                               const std::string& programFile)
    : profile_(profile), programFile_(programFile.empty() ? OwnProgramFile() : programFile) {
    programDir_ = programFile_.substr(0, programFile_.rfind('/') + 1);
    setObjectName(QString::fromStdString(profile.UpdaterWindowClass));
    // A fixed dialog without border icons: the launcher closes it itself.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setWindowTitle(QString::fromUtf8(kCaption));
    setFixedSize(327, profile.UpdaterClientHeight);
    setFont(Mincho16());

    lblTitle = new QLabel(QStringLiteral("自動アップデート処理中です．．．"), this);
    lblTitle->setGeometry(12, profile.UpdaterTitleTop, 256, 16);
    lblStatus = new QLabel(this);
    lblStatus->setGeometry(8, 24, 0, 16);
    lblStatus->setStyleSheet("color: black");
    lblFileName = new QLabel(QStringLiteral("しばらくお待ちください。"), this);
    lblFileName->setGeometry(64, profile.UpdaterFileNameTop, 192, 16);
    move(screen()->availableGeometry().center() - rect().center());

    state_.Profile = &profile_;
    state_.MainWindow = this;
    state_.RegImporter = regImporter;
    Execute = [this](TUpdateState& state) {
        TUpdateRunSteps steps;
        steps.ImportMasterFile = [this](TUpdateState& run, int slot) { _ImportMasterFile(run, slot, Lha()); };
        towagi::Execute(state, steps);
    };
    FormCreate();
}

TUpdaterWindow::~TUpdaterWindow() { FormDestroy(); }

void TUpdaterWindow::FormCreate() {
    if (profile_.SettingsThroughControlTable) controlTable_.emplace();
    const std::string logFolder = profile_.TraceLogInTempDir ? GetTempDir(programDir_) : programDir_;
    state_.TraceLog = std::make_unique<TTraceLog>(logFolder + profile_.TraceLogFileName);
    lblFileName->clear();
    state_.AskBeforeUpdate = true;
    state_.UpdateDeclined = false;
    std::error_code failed;
    fs::create_directories(programDir_ + "TEMP", failed);
    if (failed) ShowError("TEMPフォルダの作成に失敗しました。");
    if (profile_.WindowOwnsLhaAdapter) {
        // A missing archiver is told at once, but the window goes on: only a master import needs it.
        try {
            lha_ = std::make_unique<TLHA>(this, programDir_);
        } catch (const std::exception& e) {
            ShowError(e.what());
        }
    }
}

void TUpdaterWindow::FormDestroy() {
    dialup_.DialConnection.reset();
    progress_.reset();
    state_.ProgressWindow = nullptr;
    state_.TraceLog.reset();
    lha_.reset();
    controlTable_.reset();
}

void TUpdaterWindow::SetCaption(const std::string& text) { setWindowTitle(QString::fromStdString(text)); }
std::string TUpdaterWindow::Caption() const { return windowTitle().toStdString(); }

void TUpdaterWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (shown_) return;
    shown_ = true;
    // Let the window paint before the show step takes over the user-interface thread.
    QTimer::singleShot(0, this, [this] { FormShow(); });
}

void TUpdaterWindow::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        FormClose();
    }
    event->accept();
}

void TUpdaterWindow::FormShow() {
    TTraceLog& log = *state_.TraceLog;
    log.WriteStart("FormShow");
    std::string error;
    bool completed = false;
    {
        WaitCursor hourglass;
        try {
            completed = ShowStep();
        } catch (const std::exception& e) {
            error = e.what();
        }
        if (state_.KeepOpen && error.empty()) {
            // The copy waits for the idle step, which closes the window.
            log.WriteEnd("FormShow");
            return;
        }
        close();
    }
    if (completed) log.WriteEnd("FormShow");
    // The error box comes after the close step, so the main program has already started.
    if (!error.empty()) ShowError(error);
    emit Finished();
}

void TUpdaterWindow::RunPreUpdateProgram() {
    if (profile_.PreUpdateProgram.empty() || !FileExists(programDir_ + profile_.PreUpdateProgram)) return;
    // Its own failures are its own affair; the update goes on either way.
    StartFile({.File = programDir_ + profile_.PreUpdateProgram, .Wait = StartWait::WaitForExit});
}

void TUpdaterWindow::ReadDialTimeout() {
    dialup_.DialTimeout = 90;
    const std::string iniFile = programDir_ + profile_.SettingsIniFileName;
    if (!FileExists(iniFile)) return;
    const std::string text = TIniFile(iniFile).ReadString("TIME", "DIAL", "");
    int seconds = 0;
    auto [end, failure] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (failure == std::errc() && end == text.data() + text.size() && !text.empty()) dialup_.DialTimeout = seconds;
}

// Steps of the show step; false when it ended early (no End line for "FormShow").
bool TUpdaterWindow::ShowStep() {
    RunPreUpdateProgram();
    ReadDialTimeout();
    dialup_.DialupMode = ReadUpdateInteger(profile_, "Dialup");
    dialup_.DialupName = ReadUpdateString(profile_, "Dialup_Name");
    dialup_.DialFailed = false;

    state_.ExeName.clear();
    state_.ExeDir.clear();
    state_.MainProgram.clear();
    state_.UpdateKey.clear();
    state_.UpdateDir.clear();
    state_.KeepOpen = false;
    state_.UpdateFiles.clear();

    state_.ExeName = programFile_.substr(programFile_.rfind('/') + 1);
    state_.ExeDir = programDir_;
    for (const auto& choice : profile_.MainPrograms) {
        if (FileExists(state_.ExeDir + choice.FileName)) {
            state_.MainProgram = choice.FileName;
            state_.UpdateKey = choice.UpdateKey;
        }
    }

    // A launcher killed while it applied files left its temporary copies; they go before anything is applied.
    RemoveLeftoverTemporaryFiles(state_);

    state_.UpdateDir = GetToken("|", ReadEditionString(profile_, state_.UpdateKey, profile_.UpdatePathValue), 1, 2);
    if (IsBlank(state_.UpdateDir)) return false;
    const std::string fault =
        StagingFolderFault(state_.UpdateDir, state_.ExeDir, StagingFolderCheck::FolderMustExist);
    if (!fault.empty()) {
        ShowWarning(fault);
        return false;
    }
    state_.UpdateDir = IncludeTrailingSeparator(state_.UpdateDir);

    if (!IsBlank(ReadUpdateString(profile_, "FTP_HOST"))) {
        RunFtpMode();
        return true;
    }
    return RunLanMode();
}

void TUpdaterWindow::RunFtpMode() {
    progress_ = std::make_unique<TFQRD00FT>(this, &profile_);
    progress_->show();
    QCoreApplication::processEvents();
    state_.ProgressWindow = progress_.get();
    // The progress window goes on every path, errors included.
    struct CloseProgress {
        TUpdaterWindow* window;
        ~CloseProgress() {
            window->state_.ProgressWindow = nullptr;
            window->progress_.reset();
        }
    } closeProgress{this};

    if (ConnectDialup()) {
        Execute(state_);
        dialup_.DialFailed = false;
    } else {
        dialup_.DialFailed = true;
    }
}

bool TUpdaterWindow::RunLanMode() {
    CopyUpdateFile(state_, state_.UpdateDir, state_.ExeDir, 0, state_.UpdateFiles);
    // The launcher never replaces its own file while it runs.
    for (auto it = state_.UpdateFiles.begin(); it != state_.UpdateFiles.end(); ++it) {
        if (SameText(*it, state_.ExeName)) {
            state_.UpdateFiles.erase(it);
            break;
        }
    }
    if (state_.UpdateFiles.empty()) return false;
    if (!AskInformation(profile_.VersionUpQuestion)) return true;

    state_.KeepOpen = true;
    progress_ = std::make_unique<TFQRD00FT>(this, &profile_);
    state_.ProgressWindow = progress_.get();
    state_.UpdateFiles.clear();
    // The copy runs once the show step has returned and the application is idle.
    QTimer::singleShot(0, this, [this] { ApplicationIdle(); });
    return true;
}

void TUpdaterWindow::ApplicationIdle() {
    std::string error;
    {
        WaitCursor hourglass;
        try {
            Local_CopyDirectory(state_, state_.UpdateDir, state_.ExeDir, 0, state_.UpdateFiles);
        } catch (const std::exception& e) {
            error = e.what();
        }
        close();
    }
    // The error box comes after the close step, so the main program has already started.
    if (!error.empty()) ShowError(error);
    emit Finished();
}

bool TUpdaterWindow::ConnectDialup() {
    // The progress window's one-second timer is the dial-up wait's time-out; it fires all along.
    if (progress_) progress_->OnTimer2 = [this] { dialup_.DialAborted = true; };
    if (dialup_.DialupMode <= 0) return true;
    dialup_.DialConnection = std::make_unique<TQRDRAS>(state_.TraceLog.get());
    dialup_.DialConnection->HangUpLimit = dialup_.HangUpLimit;
    dialup_.DialStatus.clear();
    std::string connection;
    // The dial-up object reports from a thread of its own: DialNotify is carried out on this thread, where
    // the wait below reads what it sets.
    auto notifier = [this](unsigned message, int state, int error) {
        QMetaObject::invokeMethod(this, [this, message, state, error] { DialNotify(message, state, error); });
    };
    const int code = dialup_.DialConnection->Dial(dialup_.DialupName, 0, connection, notifier);
    dialup_.DialAborted = false;
    QTimer* timer = progress_ ? progress_->Timer2 : nullptr;
    if (timer) {
        timer->stop();
        // A time-out of 0 or less sets no timer: the wait then ends on connection or failure.
        if (dialup_.DialTimeout > 0) {
            timer->setInterval(static_cast<int>(std::min<long long>(dialup_.DialTimeout * 1000LL, INT_MAX)));
            timer->start();
        }
    }
    while (dialup_.DialStatus != "Connected" && code == 0) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        if (dialup_.DialAborted || !progress_ || !progress_->isVisible()) break;
    }
    if (timer) timer->stop();
    if (code == 0 && dialup_.DialStatus == "Connected") return true;
    ShowWarning("ダイアルアップの接続に失敗しました。:Errcode " + std::to_string(code));
    return false;
}

void TUpdaterWindow::DialNotify(unsigned /*message*/, int state, int error) {
    const std::string text = TQRDRAS::StateText(state, error);
    dialup_.DialStatus = text;
    try {
        ShowDialStatus(text);
    } catch (const std::exception&) {
        // The state text is only shown; the wait goes on without it.
    }
    static constexpr const char* kFailureWords[] = {"エラー", "障害", "ビジー", "切断",
                                                    "ありません", "していません", "失敗"};
    const bool failureText = std::any_of(std::begin(kFailureWords), std::end(kFailureWords),
                                         [&](const char* word) { return text.find(word) != std::string::npos; });
    // An error code always means the dial has failed, also when the connection manager words it in a
    // language the failure words do not cover.
    if (failureText || error != 0) dialup_.DialAborted = true;
}

void TUpdaterWindow::ShowDialStatus(const std::string& text) {
    if (progress_) progress_->SetMessage(text);
}

void TUpdaterWindow::HangUpDialup() {
    if (!dialup_.DialConnection) return;
    // The dial-up object goes also when the hang-up fails.
    std::unique_ptr<TQRDRAS> connection = std::move(dialup_.DialConnection);
    connection->HangUp(dialup_.DialupName);
}

void TUpdaterWindow::FormClose() {
    TTraceLog& log = *state_.TraceLog;
    log.WriteStart("FormClose");
    WaitCursor hourglass;
    try {
        if (dialup_.DialFailed) {
            HangUpDialup();
            return;
        }
        if (IsBlank(state_.MainProgram)) {
            // Only a link this run dialled is hung up; nothing here uses one.
            HangUpDialup();
            log.Write("FormClose", SetupInvalidReason(profile_, state_));
            ShowWarning(profile_.SetupInvalidWarning);
            return;
        }
    } catch (const std::exception& e) {
        ShowError(e.what());
        return;
    }
    // An established link stays up for the main program.
    dialup_.DialConnection.reset();
    // Started and left alone: its result is not the launcher's affair.
    StartFile({.File = state_.ExeDir + state_.MainProgram});
    log.WriteEnd("FormClose");
}

} // namespace towagi
