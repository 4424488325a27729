// The catalogue of one category whose files are all up to date (FTP_GetUpdateFileList: CWD, LIST, one
// MDTM per file, the comparison with the installed copies, the trace lines), against a minimal client on
// the same server that does only the round trips: CWD, LIST and one MDTM per file. Both run against vsftpd on
// loopback in this process; the figure is the ratio of their times.
//
//   catalogue_bench [files] [rounds]     default 1000 files, best of 3 rounds
#include "programs/qrd00up/edition_profile.h"
#include "support/settings_store.h"
#include "tests/common/recording_views.h"
#include "tests/common/test_env.h"
#include "tests/servers/ftp_servers.h"
#include "transfer/update_catalogue.h"

#include <Poco/Net/FTPClientSession.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <istream>
#include <memory>
#include <string>

namespace {

using namespace towagi;
using Clock = std::chrono::steady_clock;

constexpr std::time_t kFileTime = 1709254800;

void WriteWithTime(const std::string& path, std::time_t time) {
    testing::WriteFile(path, "x");
    const timespec times[2] = {{time, 0}, {time, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The launcher's catalogue of the help category; every file is found up to date.
double Catalogue(const testing::TempDir& site, int port) {
    EditionProfile profile = EstimationEdition();
    TUpdateState state;
    testing::RecordingProgressView progress;
    state.Profile = &profile;
    state.TraceLog = std::make_unique<TTraceLog>(site.File("trace.log"));
    state.ProgressWindow = &progress;
    state.ExeDir = site.Dir() + "program/";
    TQrdFTP client(profile.FtpTimeouts, *state.Clock, state.TraceLog.get());
    client.SetHost(testing::VsftpdServer::Host);
    client.SetPort(port);
    client.SetUsername(testing::VsftpdServer::User);
    client.SetPassword(testing::VsftpdServer::Password);
    client.SetPassive(true);
    client.Connect();
    const TFTPDIR folders{"/towagi/HELP/", state.ExeDir + "HELP/", site.Dir() + "update/HELP/", kKubunHelp};
    std::vector<std::string> names, stamps;
    const auto start = Clock::now();
    FTP_GetUpdateFileList(state, client, folders, false, stamps, names);
    const double seconds = Seconds(start);
    if (!names.empty() || progress.Position != 0) {
        std::fprintf(stderr, "the catalogue found %zu files to fetch; expected none\n", names.size());
        std::exit(2);
    }
    return seconds;
}

// The same round trips and nothing else.
double BareRoundTrips(int port, int files) {
    Poco::Net::FTPClientSession session(testing::VsftpdServer::Host, static_cast<Poco::UInt16>(port),
                                        testing::VsftpdServer::User, testing::VsftpdServer::Password);
    session.setPassive(true, false);
    const auto start = Clock::now();
    session.setWorkingDirectory("/towagi/HELP/");
    std::istream& listing = session.beginList("", true);
    std::string line;
    int lines = 0;
    while (std::getline(listing, line))
        ++lines;
    session.endList();
    std::string response;
    for (int i = 0; i < files; ++i) {
        if (session.sendCommand("MDTM help" + std::to_string(i) + ".htm", response) != 213) {
            std::fprintf(stderr, "MDTM failed: %s\n", response.c_str());
            std::exit(2);
        }
    }
    const double seconds = Seconds(start);
    if (lines != files) {
        std::fprintf(stderr, "the listing had %d lines for %d files\n", lines, files);
        std::exit(2);
    }
    return seconds;
}

} // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    // Japanese local time: the server's MDTM time plus nine hours is then the files' own time.
    setenv("TZ", "JST-9", 1);
    tzset();
    testing::ScopedHives hives;
    testing::TempDir site;
    std::filesystem::create_directories(site.File("server/towagi/HELP"));
    std::filesystem::create_directories(site.File("program/HELP"));
    for (int i = 0; i < files; ++i) {
        const std::string name = "help" + std::to_string(i) + ".htm";
        WriteWithTime(site.File("server/towagi/HELP/" + name), kFileTime);
        WriteWithTime(site.File("program/HELP/" + name), kFileTime);
    }
    testing::VsftpdServer server(site.File("server"));
    double catalogue = 1e9, bare = 1e9;
    for (int round = 0; round < rounds; ++round) {
        catalogue = std::min(catalogue, Catalogue(site, server.Port()));
        bare = std::min(bare, BareRoundTrips(server.Port(), files));
    }
    std::printf("catalogue of %d up-to-date files: FTP_GetUpdateFileList %.3f s, bare LIST + %d MDTM %.3f s, "
                "ratio %.2f (best of %d)\n",
                files, catalogue, files, bare, catalogue / bare, rounds);
    return 0;
}
