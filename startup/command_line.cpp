#include "startup/command_line.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace towagi {
namespace {

constexpr const char* kHelp = R"(
『とわぎ』の起動プログラムです。ワークステーションを点検し、アップデートを確認して適用してから、
メインプログラムを起動します。プログラムフォルダを現在のフォルダにして、引数なしで起動してください。

  --help     この説明を表示して終了します
  --version  バージョンを表示して終了します

環境変数:
  TOWAGI_MACHINE_HIVE  コンピューター全体の設定ストア (既定: /var/lib/towagi/machine.hive)
  TOWAGI_USER_HIVE     ユーザーごとの設定ストア (既定: $XDG_CONFIG_HOME/towagi/user.hive、
                       XDG_CONFIG_HOMEがなければ ~/.config/towagi/user.hive)
  TOWAGI_OS_VERSION    OSのバージョン「メジャー.マイナー」 (既定: 10.0)
  FIREBIRD_LOCK        データベースエンジンのロックフォルダ (既定: /tmp/towagi-firebird-<ユーザーID>)
  FIREBIRD_TMP         データベースエンジンの一時フォルダ (既定: ロックフォルダ)

終了コード:
  0  正常に終了しました
  1  エラーや警告を表示しました (その後メインプログラムを起動した場合も)
  2  起動できませんでした (引数の誤り、画面に接続できない)
)";

// The display failure's message needs the program's name after the guard's constructor has returned.
std::string guardedProgram;
QtMessageHandler previousHandler = nullptr;

void EndOnFatalMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        previousHandler(type, context, message);
        return;
    }
    std::fprintf(stderr, "%s: 画面に接続できないため起動できません。\n%s\n", guardedProgram.c_str(),
                 message.toLocal8Bit().constData());
    std::fflush(stderr);
    // Qt's own way out is abort(), which a user would read as a crash.
    std::_Exit(kExitCannotStart);
}

} // namespace

std::optional<int> HandleCommandLine(const EditionProfile& profile, const std::vector<std::string>& args,
                                     std::ostream& out, std::ostream& err) {
    if (args.size() <= 1) return std::nullopt;
    const std::string& first = args[1];
    if (args.size() == 2 && (first == "--help" || first == "-h")) {
        out << "使い方: " << profile.ProgramName << " [--help | --version]\n" << kHelp;
        return 0;
    }
    if (args.size() == 2 && first == "--version") {
        out << profile.ProgramName << " " << TOWAGI_VERSION << "\n";
        return 0;
    }
    err << profile.ProgramName << ": 不明な引数です: " << first << "\n"
        << "使い方は「" << profile.ProgramName << " --help」で表示します。\n";
    return kExitCannotStart;
}

std::string MissingDisplay() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value) return "";
    }
    return "画面に接続できないため起動できません(環境変数DISPLAYが設定されていません)。"
           "デスクトップから起動してください。";
}

DisplayFailureGuard::DisplayFailureGuard(const std::string& programName) {
    guardedProgram = programName;
    previousHandler = qInstallMessageHandler(EndOnFatalMessage);
}

DisplayFailureGuard::~DisplayFailureGuard() { qInstallMessageHandler(previousHandler); }

} // namespace towagi
