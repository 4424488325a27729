#pragma once
#include "tests/common/test_env.h"

#include <QString>
#include <QTimer>

#include <filesystem>
#include <string>

namespace towagi::testing {

// A workstation for the start-up tests. The program folder lies one level below a private root, so the
// Firebird folder beside it is the test's own; it is the current folder, as the launcher's is. Both hives
// are private. PATH begins with a folder holding the batch runner, a fake systemctl that lists the loaded units
// it is given and a fake pkexec that records what it was asked to run and runs it; systemd counts as running,
// so that the fake systemctl is asked. (The batch runner also reads the machine's own unit files, which name
// no Firebird 1.5 service.)
class Installation {
public:
    Installation();
    ~Installation();
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;

    std::string Root() const { return root_.Dir(); }
    std::string Program() const { return root_.Dir() + "program/"; }
    std::string FirebirdDir() const { return root_.Dir() + "FireBird_1_5/"; }

    // What systemctl lists as the loaded service units.
    void Services(const std::string& units);
    // The real lib7-zip32.so in the program folder.
    void AddArchiverLibrary();
    // The archive "FireBird_1_5" in the program folder; a damaged one has a wrong CRC.
    void AddFirebirdArchive(bool damaged);
    // The Firebird folder as the archive holds it.
    void AddFirebirdFolder();
    // pkexec refuses with this exit code instead of running the command.
    void RefuseConsent(int exitCode);
    // One line per pkexec run: the arguments it was given.
    std::string PkexecRuns() const;
    // How many times the Firebird folder's install_nt.bat ran.
    int InstallRuns() const;
    // The installation script as the archive holds it.
    static std::string InstallScript();

private:
    TempDir root_;
    ScopedHives hives_;
    std::filesystem::path old_;
    ScopedEnv path_;
    ScopedEnv serviceManager_;
};

// A service listing without either Firebird service.
inline const std::string kNoFirebird = "cron.service loaded active running Regular background program processing daemon\n";

// Answers the recovery window as the user would, with its button or its close box, and records what it saw.
class RecoveryAnswer {
public:
    enum class How { Button, CloseBox };
    explicit RecoveryAnswer(How how);
    RecoveryAnswer(const RecoveryAnswer&) = delete;
    RecoveryAnswer& operator=(const RecoveryAnswer&) = delete;
    bool Shown() const { return shown_; }
    QString Title() const { return title_; }
    QString ObjectName() const { return objectName_; }
    bool HourglassWhileShown() const { return hourglass_; }

private:
    void Poll();
    How how_;
    QTimer timer_;
    bool shown_ = false;
    bool hourglass_ = false;
    QString title_;
    QString objectName_;
};

} // namespace towagi::testing
