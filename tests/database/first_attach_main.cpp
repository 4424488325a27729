// Attaches once, as the launcher's first attach does, and writes the engine's configuration root into
// REPORT; the database tests run it because their own process configured its engine before main.
#include "database/firebird.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: database_first_attach DATABASE WORKDIR REPORT\n", stderr);
        return 2;
    }
    try {
        towagi::TFbConnection::Create({argv[1], "SYSDBA", "pinewharf", argv[2]}).Detach();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    const char* root = std::getenv("FIREBIRD");
    std::ofstream(argv[3]) << (root ? root : "") << "\n";
    return 0;
}
