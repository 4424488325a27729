#pragma once
// Registry files read the way the platform's registry editor reads them, for towagi-reg. (The launcher's
// own importer keeps its older, forgiving reading: platform/registry_file.h.)
#include "platform/registry_file.h"
#include "support/settings_store.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace towagi {

// Larger than any registry file of the suite by far, small enough to read and check whole.
inline constexpr std::uint64_t kMaxRegistryFileBytes = 64ULL * 1024 * 1024;

// One change a registry file asks for, in file order.
struct RegistryEditorChange {
    enum class Kind {
        OpenKey,     // "[KEY]": the key is made when missing; the values that follow belong to it
        DeleteKey,   // "[-KEY]": the key and everything below it
        SetValue,    // "name"=..., @=...
        DeleteValue, // "name"=-
    };
    Kind What = Kind::OpenKey;
    int Line = 0;
    std::string KeyName; // as written, hive included, without the "-" of a deletion
    Hive KeyHive = Hive::User;
    std::string KeyPath;   // below the hive's root
    std::string ValueName; // "" for the default value (@)
    RegistryValue Value;   // SetValue: text, or a dword as an integer; hex: values as text
};

// The text of a registry file in UTF-8: UTF-16LE or UTF-8 after a byte-order mark, UTF-8 without one when
// every byte sequence is UTF-8 (what Linux editors write), CP932 otherwise. A folder, a FIFO, a device or a
// file over kMaxRegistryFileBytes is refused before anything is read (ERegistryFileError); EInOutError when
// the file cannot be opened or read, EEncodingError for bytes that do not convert.
std::string ReadRegistryEditorText(const std::string& path);

// Checks the whole text and hands every change to `apply` in file order. The first line is
// "Windows Registry Editor Version 5.00" or "REGEDIT4"; then key lines "[HKEY_LOCAL_MACHINE\..." or
// "[HKEY_CURRENT_USER\...", "[-...]" deletions, value lines with a quoted name or "@", "=" and a quoted
// text (\\ and \" escaped), dword: with one to eight hexadecimal digits, hex: or hex(n): bytes (continued
// on the next line after a final backslash, kept as text) or "-" (a deletion); ";" comments and blank
// lines. Anything else raises ERegistryFileError naming the file and the line; so does a file without a
// single key line. `source` names the file in errors. The changes before a bad line have been handed over
// when it raises, so a caller checks the text in a first pass and applies it in a second.
void ParseRegistryEditorText(std::string_view text, const std::string& source,
                             const std::function<void(const RegistryEditorChange&)>& apply);

} // namespace towagi
