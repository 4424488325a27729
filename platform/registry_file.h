#pragma once
#include "support/errors.h"
#include "support/settings_store.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace towagi {

// A registry file holds something that cannot be stored (a malformed dword); names the file and the text.
class ERegistryFileError : public EMyLibraryError {
public:
    using EMyLibraryError::EMyLibraryError;
};

struct RegistryEntry {
    std::string Name;  // text in front of the first "=", enclosing quotes included ("\"Path\"", "@")
    std::string Value; // text behind it, trimmed, without enclosing double quotes; may be empty
    // Name without its first and last character: "@" gives "", the key's default value.
    std::string ValueName() const;
};

struct RegistrySection {
    std::string Name;                   // full key name with the hive in front, as written
    std::string HiveName;               // the part in front of the first backslash
    std::string KeyPath;                // the rest, without the leading backslash; "" for the hive's root
    bool IsCurrentUser = false;         // the name mentions HKEY_CURRENT_USER
    std::vector<RegistryEntry> Entries; // file order
};

struct RegistryValue {
    ValueKind Kind = ValueKind::Text;
    std::string Text;
    std::int32_t Integer = 0;
};

// A registry file read the way the suite has always read it: as an INI file whose sections are keys.
// The first section of a name and the first entry of a name win (letter case ignored); comment lines,
// deletion sections "[-...]" and deletion entries (name=-) are left out. Empty values are kept: the
// launcher's importer skips them, the registry tool stores them as the platform's registry editor does.
// Values are decoded one by one (Decode), so an importer can store them in order and stop at the first
// bad one.
class RegistryFile {
public:
    // The file in CP932, or UTF-16LE / UTF-8 after a byte-order mark. EInOutError when it cannot be read,
    // EEncodingError (naming the file) for bytes that do not convert.
    static RegistryFile Load(const std::string& path);
    // Text already in UTF-8; `source` names the file in errors.
    static RegistryFile Parse(std::string_view text, const std::string& source);

    const std::string& Source() const { return source_; }
    const std::vector<RegistrySection>& Sections() const { return sections_; }
    // ERegistryFileError for a "dword:" value that is not at most eight significant hex digits.
    RegistryValue Decode(const RegistryEntry& entry) const;

private:
    std::string source_;
    std::vector<RegistrySection> sections_;
};

// "dword:" anywhere in the value: the hex digits behind it as a 32-bit integer (ffffffff is -1).
// Anything else is text in which every doubled backslash stands for one; hex:, hex(2): and the other
// types stay as written.
RegistryValue DecodeRegistryValue(const std::string& value, const std::string& source);

} // namespace towagi
