#pragma once
#include "model/edition_profile.h"

#include <cstdint>
#include <string>

namespace towagi {

// The cost edition's settings object: reads values below the product root, choosing per value between
// the machine hive ("M") and the per-user hive ("U").
class TPLXREG {
public:
    // Every key handed in is relative to this root, which the object puts in front.
    static constexpr const char* kRootKey = "\\SOFTWARE\\VORN\\TOWAGI\\RUVOZEZ\\";

    TPLXREG() = default;
    virtual ~TPLXREG() = default;
    TPLXREG(const TPLXREG&) = delete;
    TPLXREG& operator=(const TPLXREG&) = delete;

    // A missing key or value reads as empty; a blank per-user value counts as missing, so the machine
    // hive's value is read then. A value stored as an integer raises ESettingsError.
    std::string ReadRegString(const std::string& key, const std::string& name);
    // The first hive (per-user first when the scope is "U") that holds an integer of that name gives the
    // result; a value of the other kind counts as missing; `defaultValue` when neither does.
    std::int32_t ReadRegInteger(const std::string& key, const std::string& name, std::int32_t defaultValue);

    // "M" or "U". Without the control table every value lives in the machine hive, which is also the
    // answer when the database cannot be used.
    virtual std::string GetRegScope(const std::string& key, const std::string& name);

    // The key as the store knows it. A key that begins with a backslash names a key outside the product
    // root and is taken as it stands.
    static std::string FullKey(const std::string& key);
};

// The instance the updater and the master import read their settings through.
class TPLXDirectReg : public TPLXREG {
public:
    TPLXDirectReg() = default;
};

// A settings value of the edition: the estimation edition reads the machine hive below
// "\SOFTWARE\VORN\TOWAGI\RUVOZEZ", the cost edition goes through its settings object (TPLXDirectReg).
// A key that begins with a backslash is taken as it stands instead of below the product root.
// Nothing is cached. Missing or unreadable values read as "" and -1.
std::string ReadEditionString(const EditionProfile& profile, const std::string& key, const std::string& name);
std::int32_t ReadEditionInteger(const EditionProfile& profile, const std::string& key,
                                const std::string& name);

} // namespace towagi
