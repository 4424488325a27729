// Unpacking a sizeable ZIP archive through the 7-zip32 adapter against Debian's 7-Zip (7zz x) and, when
// installed, bsdtar: master-data-like CSV files in folders, packed once by 7zz, each run into a fresh folder.
//   archive_extract_bench [megabytes] [runs]
#include "apply/archive_adapters.h"
#include "apply/archive_extraction.h"
#include "platform/process.h"
#include "platform/prompts.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace towagi;

namespace {

// A message box would need a window; here its text goes to the error output.
class PrintedPrompts : public Prompts {
public:
    PromptAnswer Show(PromptKind, const std::string& text) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
        return PromptAnswer::Ok;
    }
};

// CSV rows of item codes and prices, 1 MB a file, twenty files a folder.
std::uintmax_t WriteSource(const std::string& source, int megabytes) {
    std::uintmax_t total = 0;
    std::uint32_t seed = 7;
    for (int file = 0; file < megabytes; ++file) {
        const std::string folder = source + "KMI" + std::to_string(file / 20) + "/";
        fs::create_directories(folder);
        std::ofstream out(folder + "HIN" + std::to_string(file) + ".csv", std::ios::binary);
        std::string text;
        char line[96];
        while (text.size() < (1u << 20)) {
            seed = seed * 1664525 + 1013904223;
            const int length =
                std::snprintf(line, sizeof line, "H%09u,ITEM%06u,%u.%02u,%u,\"%s\"\r\n", seed % 1000000000u,
                              (seed >> 8) % 1000000u, (seed >> 4) % 100000u, seed % 100u,
                              (seed >> 12) % 1000u, (seed & 1) ? "m3" : "kg");
            text.append(line, static_cast<size_t>(length));
        }
        out << text;
        total += text.size();
    }
    return total;
}

bool Run(const std::string& program, const std::string& parameters) {
    StartRequest request;
    request.File = program;
    request.Parameters = parameters;
    request.Window = StartWindow::Hidden;
    request.Wait = StartWait::WaitForExit;
    const StartResult result = StartFile(request);
    return result.Started && result.ExitCode == 0;
}

// Bytes and files below a folder: every way must unpack all of them.
std::pair<std::uintmax_t, int> Content(const std::string& folder) {
    std::uintmax_t bytes = 0;
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file()) bytes += entry.file_size(), ++files;
    return {bytes, files};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    const int megabytes = argc > 1 ? std::atoi(argv[1]) : 100;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
    if (megabytes < 1 || runs < 1) {
        std::fputs("usage: archive_extract_bench [megabytes] [runs]\n", stderr);
        return 2;
    }
    const std::string sevenZip = ResolveProgram("7zz").empty() ? "7z" : "7zz";
    const bool haveBsdtar = !ResolveProgram("bsdtar").empty();
    InstallPrompts(std::make_shared<PrintedPrompts>());

    char pattern[] = "/tmp/towagi-archive-extract-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const std::string folder = std::string(pattern) + "/";
    const std::uintmax_t sourceBytes = WriteSource(folder + "src/", megabytes);
    const std::string archive = folder + "master.zip";
    if (!Run(sevenZip, "a -tzip -mx5 \"" + archive + "\" \"" + folder + "src/*\"")) {
        std::fprintf(stderr, "%s could not pack the archive\n", sevenZip.c_str());
        return 1;
    }
    const auto want = Content(folder + "src/");

    struct Way {
        std::string Name;
        std::function<bool(const std::string& dest)> Unpack;
        std::vector<double> Seconds{};
    };
    std::vector<Way> ways = {
        {"ExtractZipArchive (check+x)",
         [&](const std::string& dest) {
             return ExtractZipArchive(archive, dest, TOWAGI_ARCHIVER_LIBRARIES);
         }},
        {"TArcSevenZip::Extract (x)",
         [&](const std::string& dest) {
             TArcSevenZip archiver(kArcOutputSizeEstimation, TOWAGI_ARCHIVER_LIBRARIES);
             archiver.SetArchiveName("master.zip");
             archiver.SetSourceDir(folder);
             archiver.SetDestDir(dest);
             archiver.Extract(nullptr, "");
             return true;
         }},
        {sevenZip + " x",
         [&](const std::string& dest) {
             return Run(sevenZip, "x \"" + archive + "\" -o\"" + dest + "\" -y");
         }},
    };
    if (haveBsdtar) {
        ways.push_back({"bsdtar -x", [&](const std::string& dest) {
                            fs::create_directories(dest);
                            return Run("bsdtar", "-x -f \"" + archive + "\" -C \"" + dest + "\"");
                        }});
    }

    for (int run = 0; run < runs; ++run) {
        for (auto& way : ways) {
            const std::string dest = folder + "out/";
            fs::remove_all(dest);
            // Every way starts from the same page cache: the archive was just read by the previous one.
            const auto start = std::chrono::steady_clock::now();
            const bool unpacked = way.Unpack(dest);
            way.Seconds.push_back(
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            if (!unpacked || Content(dest) != want) {
                std::fprintf(stderr, "%s did not unpack every file\n", way.Name.c_str());
                return 1;
            }
        }
    }

    std::printf("archive_extract: %d files, %.1f MB of CSV in %.1f MB of ZIP (deflate), %d runs each\n",
                want.second, static_cast<double>(sourceBytes) / 1e6,
                static_cast<double>(fs::file_size(archive)) / 1e6, runs);
    for (const auto& way : ways) {
        std::printf("  %-30s median %.3f s  (", way.Name.c_str(), Median(way.Seconds));
        for (size_t i = 0; i < way.Seconds.size(); ++i)
            std::printf("%s%.3f", i ? " " : "", way.Seconds[i]);
        std::printf(")\n");
    }
    auto ratio = [](const std::string& name, double value) {
        std::printf("  %-30s %.2f\n", ("ratio " + name).c_str(), value);
    };
    const double peer = Median(ways[2].Seconds);
    ratio("check+x / " + sevenZip + " x", Median(ways[0].Seconds) / peer);
    ratio("x / " + sevenZip + " x", Median(ways[1].Seconds) / peer);
    if (haveBsdtar) ratio("x / bsdtar -x", Median(ways[1].Seconds) / Median(ways[3].Seconds));
    fs::remove_all(folder);
    return 0;
}
