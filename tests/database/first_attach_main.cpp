// Attaches once, as the launcher's first attach does, and writes into REPORT what the engine was given:
// "FIREBIRD=...", "FIREBIRD_LOCK=...", "FIREBIRD_TMP=..." and "locked here=yes" when, while attached, the
// lock folder holds a database lock file it did not hold before. The database tests run it because their
// own process configured its engine before main.
#include "database/firebird.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::set<std::string> LockFiles(const std::string& folder) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().filename().string().starts_with("fb_lock_")) names.insert(entry.path().filename());
    return names;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: database_first_attach DATABASE WORKDIR REPORT\n", stderr);
        return 2;
    }
    bool lockedHere = false;
    try {
        // Read before the attach: the attach itself may set FIREBIRD_LOCK, which is what is under test.
        const char* given = std::getenv("FIREBIRD_LOCK");
        const std::set<std::string> before = given ? LockFiles(given) : std::set<std::string>{};
        towagi::TFbConnection connection = towagi::TFbConnection::Create({argv[1], "SYSDBA", "pinewharf", argv[2]});
        for (const std::string& name : LockFiles(Env("FIREBIRD_LOCK")))
            lockedHere = lockedHere || !before.contains(name);
        connection.Detach();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::ofstream(argv[3]) << "FIREBIRD=" << Env("FIREBIRD") << "\nFIREBIRD_LOCK=" << Env("FIREBIRD_LOCK")
                           << "\nFIREBIRD_TMP=" << Env("FIREBIRD_TMP") << "\nlocked here=" << (lockedHere ? "yes" : "no") << "\n";
    return 0;
}
