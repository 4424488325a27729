// towagi-reg: the settings store's command-line tool, used like Windows "reg" (and "regedit /s" for
// registry files). It is also what the launcher starts for the "Regedit.exe" and "Reg" commands.

#include "platform/settings_store.h"
#include "platform/settings_transaction.h"
#include "support/encoding.h"
#include "support/errors.h"
#include "support/text.h"
#include "tools/towagi-reg/registry_editor_file.h"
#include "tools/towagi-reg/replacing_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace towagi {
namespace {

constexpr const char* kSuccess = "この操作を正しく終了しました。";
constexpr const char* kSyntaxError = "エラー: 無効な構文です。\n\"towagi-reg /?\" で使い方を表示します。";
constexpr const char* kInvalidKey = "エラー: 無効なキー名です。";
constexpr const char* kNotFound = "エラー: 指定されたレジストリ キーまたは値が見つかりませんでした。";
constexpr const char* kAccessDenied = "エラー: アクセスが拒否されました。";
constexpr const char* kCancelled = "操作は取り消されました。";
constexpr const char* kDefaultValueName = "(既定)";
constexpr const char* kNothingImported = "レジストリファイルはインポートされませんでした(設定は何も変更されていません)。";
constexpr const char* kExportHeader = "Windows Registry Editor Version 5.00";

constexpr const char* kUsage = R"(towagi-reg 操作 [パラメーター]

  towagi-reg query  キー [/v 値の名前 | /ve]
  towagi-reg add    キー [/v 値の名前 | /ve] [/t REG_SZ | REG_DWORD] [/d データ] [/f]
  towagi-reg delete キー [/v 値の名前 | /ve | /va] [/f]
  towagi-reg import ファイル
  towagi-reg /s ファイル              (メッセージを出さずにインポート)
  towagi-reg export キー ファイル [/y]

  キー: HKLM\ または HKEY_LOCAL_MACHINE\、HKCU\ または HKEY_CURRENT_USER\ で始まるキーのパス
  /f  確認せずに上書き・削除します    /y  確認せずにファイルを上書きします
  towagi-reg --version でバージョンを表示します。

  HKLM は環境変数 TOWAGI_MACHINE_HIVE のファイル (既定: /var/lib/towagi/machine.hive)、
  HKCU は TOWAGI_USER_HIVE のファイル (既定: $XDG_CONFIG_HOME/towagi/user.hive、
  XDG_CONFIG_HOMEがなければ ~/.config/towagi/user.hive) に保存されます。
)";

// A failure already reported to the user; ends the command with exit code 1.
struct CommandFailed {};

// The hive the command names. A refused write or a missing key is often explained by the hive's file: one
// the user may not write (the machine hive's default in /var/lib), or one that does not exist.
std::optional<Hive> commandHive;

std::string HiveHint(const std::string& message) {
    if (!commandHive || (message != kAccessDenied && message != kNotFound)) return "";
    const std::string file = HiveFilePath(*commandHive);
    const std::string variable = HiveFileVariable(*commandHive);
    std::error_code error;
    if (message == kAccessDenied)
        return "\n設定ストア[" + file + "]に書き込めません。書き込めるファイルを環境変数" + variable +
               "で指定するか、管理者にこのファイルへの書き込みを許可してもらってください。";
    if (!std::filesystem::exists(file, error))
        return "\n設定ストア[" + file + "]がありません。別のファイルは環境変数" + variable + "で指定できます。";
    return "";
}

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << message << HiveHint(message) << std::endl;
    throw CommandFailed{};
}


struct KeyName {
    Hive hive;
    std::string display; // full hive name, then the path as typed
    std::string path;    // below the hive's root, no leading backslash
};

std::optional<Hive> HiveFromName(const std::string& name) {
    if (SameText(name, "HKLM") || SameText(name, "HKEY_LOCAL_MACHINE")) return Hive::Machine;
    if (SameText(name, "HKCU") || SameText(name, "HKEY_CURRENT_USER")) return Hive::User;
    return std::nullopt;
}

KeyName ParseKeyName(const std::string& text) {
    size_t slash = text.find('\\');
    std::optional<Hive> hive = HiveFromName(text.substr(0, slash));
    if (!hive) Fail(kInvalidKey);
    commandHive = hive;
    KeyName key{*hive, *hive == Hive::Machine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER", ""};
    if (slash != std::string::npos) key.path = text.substr(slash + 1);
    while (!key.path.empty() && key.path.back() == '\\')
        key.path.pop_back();
    if (!key.path.empty()) key.display += "\\" + key.path;
    return key;
}

struct Options {
    std::vector<std::string> positional;
    std::optional<std::string> valueName; // /v NAME, or "" for /ve
    bool allValues = false;               // /va
    std::optional<std::string> type;      // /t
    std::optional<std::string> data;      // /d
    bool force = false;                   // /f
    bool overwriteFile = false;           // /y
};

// Only the known switches are switches: file paths begin with '/' too. A switch that takes a value
// takes the next argument whatever it looks like, so "/d /srv/towagi" stores the folder.
Options ParseOptions(const std::vector<std::string>& args, size_t first) {
    Options options;
    auto isSwitch = [](const std::string& arg, const char* name) {
        return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-') && SameText(arg.substr(1), name);
    };
    auto takeValue = [&](size_t& i) -> std::string {
        if (i + 1 >= args.size()) Fail(kSyntaxError);
        return args[++i];
    };
    for (size_t i = first; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (isSwitch(arg, "v") || isSwitch(arg, "ve")) {
            if (options.valueName || options.allValues) Fail(kSyntaxError);
            options.valueName = isSwitch(arg, "v") ? takeValue(i) : "";
        } else if (isSwitch(arg, "va")) {
            if (options.valueName || options.allValues) Fail(kSyntaxError);
            options.allValues = true;
        } else if (isSwitch(arg, "t")) {
            if (options.type) Fail(kSyntaxError);
            options.type = takeValue(i);
        } else if (isSwitch(arg, "d")) {
            if (options.data) Fail(kSyntaxError);
            options.data = takeValue(i);
        } else if (isSwitch(arg, "f")) {
            options.force = true;
        } else if (isSwitch(arg, "y")) {
            options.overwriteFile = true;
        } else {
            options.positional.push_back(arg);
        }
    }
    return options;
}

// What a command takes: its number of positional arguments and the switches it allows.
struct Accepted {
    size_t Positional = 0;
    bool ValueName = false;     // /v or /ve
    bool AllValues = false;     // /va
    bool TypeAndData = false;   // /t and /d
    bool Force = false;         // /f
    bool OverwriteFile = false; // /y
};

void RequireOnly(const Options& options, const Accepted& accepted) {
    if (options.positional.size() != accepted.Positional || (!accepted.ValueName && options.valueName) ||
        (!accepted.AllValues && options.allValues) ||
        (!accepted.TypeAndData && (options.type || options.data)) || (!accepted.Force && options.force) ||
        (!accepted.OverwriteFile && options.overwriteFile))
        Fail(kSyntaxError);
}

// Without /f the user confirms, as reg asks; no answer (no console) is a No.
bool Confirm(const std::string& question) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::cout << std::endl;
        return false;
    }
    return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
}

std::string ShownName(const std::string& name) {
    return name.empty() ? kDefaultValueName : name;
}

std::string DwordText(std::int32_t value, bool zeroPadded) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, zeroPadded ? "%08x" : "0x%x", static_cast<std::uint32_t>(value));
    return buffer;
}

void PrintValue(SettingsKey& key, const std::string& name) {
    std::string text;
    std::int32_t number = 0;
    if (key.ReadInteger(name, number))
        std::cout << "    " << ShownName(name) << "    REG_DWORD    " << DwordText(number, false) << "\n";
    else if (key.ReadString(name, text))
        std::cout << "    " << ShownName(name) << "    REG_SZ    " << text << "\n";
}

int Query(SettingsStore& store, const Options& options) {
    RequireOnly(options, {.Positional = 1, .ValueName = true});
    KeyName name = ParseKeyName(options.positional[0]);
    auto key = store.OpenKey(name.hive, name.path, false, KeyAccess::Read);
    if (!key) Fail(kNotFound);
    if (options.valueName) {
        if (!key->ValueExists(*options.valueName)) Fail(kNotFound);
        std::string stored = *options.valueName; // shown as first written, not as typed
        for (const std::string& value : key->ValueNames())
            if (SameText(value, stored)) stored = value;
        std::cout << "\n" << name.display << "\n";
        PrintValue(*key, stored);
        std::cout << "\n";
        return 0;
    }
    std::cout << "\n" << name.display << "\n";
    for (const std::string& value : key->ValueNames())
        PrintValue(*key, value);
    std::cout << "\n";
    for (const std::string& child : key->SubKeyNames())
        std::cout << name.display << "\\" << child << "\n";
    return 0;
}

std::int32_t ParseDword(const std::string& text) {
    std::string digits = text;
    int base = 10;
    bool negative = false;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
        base = 16;
    } else if (!digits.empty() && digits[0] == '-') {
        digits = digits.substr(1);
        negative = true;
    }
    std::uint64_t value = 0;
    bool valid = !digits.empty() && digits.size() <= 10;
    for (char c : digits) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : 99;
        valid = valid && digit < base;
        if (!valid) break;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    if (!valid || value > (negative ? 0x80000000ULL : 0xFFFFFFFFULL))
        Fail("エラー: REG_DWORD のデータが正しくありません: " + text);
    std::uint32_t bits = static_cast<std::uint32_t>(value);
    return static_cast<std::int32_t>(negative ? 0U - bits : bits);
}

int Add(SettingsStore& store, const Options& options) {
    RequireOnly(options, {.Positional = 1, .ValueName = true, .TypeAndData = true, .Force = true});
    KeyName name = ParseKeyName(options.positional[0]);
    bool isDword = false;
    if (options.type) {
        if (SameText(*options.type, "REG_DWORD"))
            isDword = true;
        else if (!SameText(*options.type, "REG_SZ"))
            Fail("エラー: サポートされていないデータ型です: " + *options.type);
    }
    std::optional<std::int32_t> number;
    if (isDword) number = ParseDword(options.data.value_or(""));
    auto key = store.OpenKey(name.hive, name.path, true, KeyAccess::ReadWrite);
    if (!key) Fail(kAccessDenied);
    // Like reg, /t or /d alone set the default value; nothing at all only creates the key.
    if (options.valueName || options.type || options.data) {
        std::string valueName = options.valueName.value_or("");
        if (!options.force && key->ValueExists(valueName) &&
            !Confirm("値 " + ShownName(valueName) + " は存在します。上書きしますか")) {
            std::cout << kCancelled << std::endl;
            return 1;
        }
        if (number)
            key->WriteInteger(valueName, *number);
        else
            key->WriteString(valueName, options.data.value_or(""));
    }
    std::cout << kSuccess << std::endl;
    return 0;
}

// A key that did not open for writing: report whether it is missing or refused.
[[noreturn]] void FailToOpenForWriting(SettingsStore& store, const KeyName& name) {
    Fail(store.OpenKey(name.hive, name.path, false, KeyAccess::Read) ? kAccessDenied : kNotFound);
}

int Delete(SettingsStore& store, const Options& options) {
    RequireOnly(options, {.Positional = 1, .ValueName = true, .AllValues = true, .Force = true});
    KeyName name = ParseKeyName(options.positional[0]);
    if (!options.valueName && !options.allValues) {
        if (name.path.empty()) Fail(kInvalidKey); // a hive's root stays
        if (!store.OpenKey(name.hive, name.path, false, KeyAccess::Read)) Fail(kNotFound);
        if (!options.force && !Confirm("レジストリ キー " + name.display + " を完全に削除しますか")) {
            std::cout << kCancelled << std::endl;
            return 1;
        }
        if (!store.DeleteKey(name.hive, name.path)) FailToOpenForWriting(store, name);
        std::cout << kSuccess << std::endl;
        return 0;
    }
    auto key = store.OpenKey(name.hive, name.path, false, KeyAccess::ReadWrite);
    if (!key) FailToOpenForWriting(store, name);
    if (options.valueName && !key->ValueExists(*options.valueName)) Fail(kNotFound);
    std::string question = options.allValues
                               ? "レジストリ キー " + name.display + " 内のすべての値を削除しますか"
                               : "レジストリ値 " + ShownName(*options.valueName) + " を削除しますか";
    if (!options.force && !Confirm(question)) {
        std::cout << kCancelled << std::endl;
        return 1;
    }
    if (options.allValues) {
        for (const std::string& value : key->ValueNames())
            key->DeleteValue(value);
    } else {
        key->DeleteValue(*options.valueName);
    }
    std::cout << kSuccess << std::endl;
    return 0;
}

// A registry file is checked whole first and then applied in one transaction: a bad line, a hive that
// cannot be written or a failing store leaves the hives as they were.
int Import(const std::string& path, bool silent) {
    try {
        const std::string text = ReadRegistryEditorText(path);
        std::vector<Hive> hives;
        std::map<Hive, std::string> firstKey; // the key named when its hive cannot be written
        ParseRegistryEditorText(text, path, [&](const RegistryEditorChange& change) {
            if (firstKey.emplace(change.KeyHive, change.KeyName).second) hives.push_back(change.KeyHive);
        });
        std::optional<SettingsTransaction> transaction;
        try {
            transaction.emplace(hives);
        } catch (const EHiveNotWritable& refused) {
            commandHive = refused.WhichHive();
            std::cerr << "エラー: キー " << firstKey[refused.WhichHive()] << " を開けません。アクセスが拒否されました。"
                      << HiveHint(kAccessDenied) << std::endl;
            throw CommandFailed{};
        }
        std::optional<SettingsTransaction::Key> key;
        ParseRegistryEditorText(text, path, [&](const RegistryEditorChange& change) {
            using Kind = RegistryEditorChange::Kind;
            switch (change.What) {
            case Kind::OpenKey:
                key = transaction->CreateKey(change.KeyHive, change.KeyPath);
                break;
            case Kind::DeleteKey:
                key.reset();
                transaction->DeleteKey(change.KeyHive, change.KeyPath);
                break;
            case Kind::SetValue:
                if (change.Value.Kind == ValueKind::Integer)
                    transaction->WriteInteger(*key, change.ValueName, change.Value.Integer);
                else
                    transaction->WriteString(*key, change.ValueName, change.Value.Text);
                break;
            case Kind::DeleteValue:
                transaction->DeleteValue(*key, change.ValueName);
                break;
            }
        });
        transaction->Commit();
    } catch (const std::exception& error) {
        std::cerr << "エラー: " << error.what() << "\n" << kNothingImported << std::endl;
        throw CommandFailed{};
    } catch (const CommandFailed&) {
        std::cerr << kNothingImported << std::endl;
        throw;
    }
    if (!silent) std::cout << kSuccess << std::endl;
    return 0;
}

// Text as a quoted registry-file string: backslashes and quotes escaped.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// What the registry-file readers cannot give back exactly is refused rather than exported changed. The
// launcher's own importer reads the same files more simply (the name up to the first "=", trimmed; "dword:"
// anywhere makes a number), so what it would misread is refused too.
std::optional<std::string> ExportableName(const std::string& name) {
    if (name.empty()) return "@";
    if (name.find_first_of("=\r\n") != std::string::npos || name.front() == ' ' || name.front() == '\t' ||
        name.back() == ' ' || name.back() == '\t')
        return std::nullopt;
    return Quoted(name);
}

std::optional<std::string> ExportableText(const std::string& text) {
    if (text.find_first_of("\r\n") != std::string::npos || text.find("dword:") != std::string::npos)
        return std::nullopt;
    return Quoted(text);
}

// Writes the key and every key below it, in one pass over the store; false when a value had to be left out.
bool ExportTree(const KeyName& name, ReplacingFile& out, const std::string& file) {
    bool complete = true;
    bool found = WalkKeyTree(name.hive, name.path, [&](const std::string& below, const std::vector<KeyTreeValue>& values) {
        const std::string display = below.empty() ? name.display : name.display + "\\" + below;
        std::string text = "[" + display + "]\r\n";
        for (const KeyTreeValue& value : values) {
            std::optional<std::string> shownName = ExportableName(value.Name);
            std::optional<std::string> data = value.Kind == ValueKind::Integer
                                                  ? std::optional<std::string>("dword:" + DwordText(value.Integer, true))
                                                  : ExportableText(value.Text);
            if (!shownName || !data) {
                std::cerr << "エラー: 値 " << display << "\\" << value.Name << " はレジストリファイルに書けません。"
                          << std::endl;
                complete = false;
                continue;
            }
            text += *shownName + "=" + *data + "\r\n";
        }
        text += "\r\n";
        out.Write(ToCP932(text, file));
    });
    if (!found) Fail(kNotFound);
    return complete;
}

int Export(SettingsStore& store, const Options& options) {
    RequireOnly(options, {.Positional = 2, .OverwriteFile = true});
    KeyName name = ParseKeyName(options.positional[0]);
    const std::string& file = options.positional[1];
    if (!store.OpenKey(name.hive, name.path, false, KeyAccess::Read)) Fail(kNotFound);
    std::error_code error;
    if (!options.overwriteFile && std::filesystem::exists(file, error) &&
        !Confirm("ファイル " + file + " は存在します。上書きしますか")) {
        std::cout << kCancelled << std::endl;
        return 1;
    }
    if (std::filesystem::is_directory(file, error)) Fail("エラー: " + file + " はフォルダです。ファイル名を指定してください。");
    // Half a registry file would import as if it were whole: the file appears only when complete.
    ReplacingFile out(file);
    out.Write(std::string(kExportHeader) + "\r\n\r\n");
    bool complete = ExportTree(name, out, file);
    out.Commit();
    if (!complete) return 1;
    std::cout << kSuccess << std::endl;
    return 0;
}

int Run(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        std::cerr << kSyntaxError << std::endl;
        return 1;
    }
    const std::string& command = args[1];
    if (command == "/?" || command == "-?" || SameText(command, "-h") || SameText(command, "--help")) {
        std::cout << kUsage;
        return 0;
    }
    if (SameText(command, "--version")) {
        std::cout << "towagi-reg " << TOWAGI_VERSION << "\n";
        return 0;
    }
    SqliteSettingsStore store;
    if (SameText(command, "/s") || SameText(command, "-s")) {
        if (args.size() != 3) Fail(kSyntaxError);
        return Import(args[2], true);
    }
    Options options = ParseOptions(args, 2);
    if (SameText(command, "query")) return Query(store, options);
    if (SameText(command, "add")) return Add(store, options);
    if (SameText(command, "delete")) return Delete(store, options);
    if (SameText(command, "export")) return Export(store, options);
    if (SameText(command, "import")) {
        RequireOnly(options, {.Positional = 1});
        return Import(options.positional[0], false);
    }
    Fail(kSyntaxError);
}

} // namespace
} // namespace towagi

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    try {
        return towagi::Run(args);
    } catch (const towagi::CommandFailed&) {
        return 1;
    } catch (const std::exception& error) {
        std::cerr << "エラー: " << error.what() << std::endl;
        return 1;
    }
}
