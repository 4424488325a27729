#include "tests/startup/installation.h"

#include "startup/firebird_recovery_window.h"
#include "tests/apply/archive_test_support.h"

#include <QApplication>

#include <sys/stat.h>

#include <algorithm>

namespace towagi::testing {
namespace {

namespace fs = std::filesystem;

void WriteScript(const std::string& path, const std::string& body) {
    WriteFile(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

} // namespace

Installation::Installation()
    : old_(fs::current_path()), path_("PATH", root_.Dir() + "bin:/usr/bin:/bin"),
      serviceManager_("TOWAGI_SERVICE_MANAGER", "systemd") {
    fs::create_directories(Program());
    fs::create_directories(Root() + "bin");
    fs::copy_file(TOWAGI_BAT_BINARY, Root() + "bin/towagi-bat");
    Services("");
    WriteScript(Root() + "bin/pkexec", "echo \"$@\" >> '" + Root() + "pkexec-runs.txt'\nexec \"$@\"\n");
    fs::current_path(Program());
}

Installation::~Installation() {
    fs::current_path(old_);
}

void Installation::Services(const std::string& units) {
    WriteFile(Root() + "units.txt", units);
    WriteScript(Root() + "bin/systemctl", "[ \"$1\" = list-units ] && cat '" + Root() + "units.txt'\nexit 0\n");
}

void Installation::AddArchiverLibrary() {
    fs::copy_file(SEVEN_ZIP32_LIBRARY, Program() + "lib7-zip32.so");
}

std::string Installation::InstallScript() {
    return "@echo off\r\nrem registers the database services\r\necho installed>> \"%~dp0installed.txt\"\r\n";
}

void Installation::AddFirebirdArchive(bool damaged) {
    std::string archive = MakeZip({{"FireBird_1_5/", "", EntryKind::Folder},
                                   {"FireBird_1_5/bin/", "", EntryKind::Folder},
                                   {"FireBird_1_5/bin/install_nt.bat", InstallScript()}});
    if (damaged) {
        const std::size_t at = archive.find("registers");
        archive[at] = static_cast<char>(archive[at] ^ 0x01);
    }
    WriteFile(Program() + "FireBird_1_5", archive);
}

void Installation::AddFirebirdFolder() {
    fs::create_directories(FirebirdDir() + "bin");
    WriteFile(FirebirdDir() + "bin/install_nt.bat", InstallScript());
}

void Installation::RefuseConsent(int exitCode) {
    WriteScript(Root() + "bin/pkexec",
                "echo \"$@\" >> '" + Root() + "pkexec-runs.txt'\nexit " + std::to_string(exitCode) + "\n");
}

std::string Installation::PkexecRuns() const {
    return fs::exists(Root() + "pkexec-runs.txt") ? ReadFile(Root() + "pkexec-runs.txt") : "";
}

int Installation::InstallRuns() const {
    const std::string log = FirebirdDir() + "bin/installed.txt";
    if (!fs::exists(log)) return 0;
    const std::string text = ReadFile(log);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

RecoveryAnswer::RecoveryAnswer(How how) : how_(how) {
    // The timer dies with this object, so a window that never comes leaves nothing behind.
    QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
    timer_.start(20);
}

void RecoveryAnswer::Poll() {
    auto* window = qobject_cast<TFirebirdRecoveryWindow*>(QApplication::activeModalWidget());
    if (shown_ || !window) return;
    shown_ = true;
    title_ = window->windowTitle();
    objectName_ = window->objectName();
    hourglass_ = QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    if (how_ == How::Button)
        window->Button1->click();
    else
        window->close();
}

} // namespace towagi::testing
