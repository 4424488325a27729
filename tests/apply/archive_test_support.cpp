#include "tests/apply/archive_test_support.h"

#include "support/text.h"
#include "tests/common/test_env.h"

#include <dlfcn.h>

#include <cstdint>
#include <filesystem>

namespace towagi::testing {
namespace {

void Put16(std::string& out, unsigned value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, std::uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

std::uint32_t Crc32(const std::string& data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : data) {
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

// The CRC-16 of LHA archives (reflected polynomial 0xA001, start 0).
unsigned Crc16(const std::string& data) {
    unsigned crc = 0;
    for (unsigned char c : data) {
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xA001 & (0 - (crc & 1)));
    }
    return crc & 0xFFFF;
}

// MS-DOS date and time: the time in the low word, the date in the high word.
std::uint32_t DosTime() {
    const unsigned time = (3 << 11) | (4 << 5) | (6 / 2);
    const unsigned date = ((2020 - 1980) << 9) | (1 << 5) | 2;
    return (static_cast<std::uint32_t>(date) << 16) | time;
}

std::string Replaced(std::string text, char from, char to) {
    for (char& c : text)
        if (c == from) c = to;
    return text;
}

} // namespace

std::time_t FixtureTime() {
    std::time_t time = 0;
    ParseDateTime("2020/01/02 03:04:06", time);
    return time;
}

std::string MakeZip(const std::vector<ArchiveItem>& items, bool utf8Names) {
    std::string out, directory;
    for (const auto& item : items) {
        const std::string name = item.Kind == EntryKind::Folder ? item.Name + "/" : item.Name;
        const std::string& data = item.Kind == EntryKind::Folder ? std::string() : item.Data;
        const unsigned flags = utf8Names ? 0x0800 : 0;
        const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
        const bool zip64 = item.DeclaredSize >= 0;
        std::string extra;
        if (zip64) {
            Put16(extra, 0x0001);
            Put16(extra, 16);
            Put32(extra, static_cast<std::uint32_t>(item.DeclaredSize));
            Put32(extra, static_cast<std::uint32_t>(static_cast<unsigned long long>(item.DeclaredSize) >> 32));
            Put32(extra, static_cast<std::uint32_t>(data.size()));
            Put32(extra, 0);
        }
        std::string common;
        Put16(common, zip64 ? 45 : 20); // version needed
        Put16(common, flags);
        Put16(common, 0); // stored
        Put32(common, DosTime());
        Put32(common, Crc32(data));
        Put32(common, zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(data.size()));
        Put32(common, zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(data.size()));
        Put16(common, static_cast<unsigned>(name.size()));
        Put16(common, static_cast<unsigned>(extra.size()));

        Put32(out, 0x04034B50);
        out += common + name + extra + data;

        const bool unix = item.Kind == EntryKind::Link;
        Put32(directory, 0x02014B50);
        Put16(directory, unix ? (3 << 8) | 20 : 20); // made by Unix / MS-DOS
        directory += common;
        Put16(directory, 0); // comment
        Put16(directory, 0); // disk
        Put16(directory, 0); // internal attributes
        Put32(directory, unix ? 0120777u << 16 : item.Kind == EntryKind::Folder ? 0x10 : 0x20);
        Put32(directory, offset);
        directory += name + extra;
    }
    const std::uint32_t directoryOffset = static_cast<std::uint32_t>(out.size());
    out += directory;
    Put32(out, 0x06054B50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<unsigned>(items.size()));
    Put16(out, static_cast<unsigned>(items.size()));
    Put32(out, static_cast<std::uint32_t>(directory.size()));
    Put32(out, directoryOffset);
    Put16(out, 0);
    return out;
}

std::string MakeLzh(const std::vector<ArchiveItem>& items, int level) {
    std::string out;
    for (const auto& item : items) {
        const bool folderLike = item.Kind != EntryKind::File;
        const std::string method = folderLike ? "-lhd-" : "-lh0-";
        const std::string& data = folderLike ? std::string() : item.Data;
        const size_t slash = item.Name.rfind('/');
        std::string leaf = slash == std::string::npos ? item.Name : item.Name.substr(slash + 1);
        std::string folders = slash == std::string::npos ? std::string() : item.Name.substr(0, slash + 1);
        if (item.Kind == EntryKind::Folder) {
            folders = item.Name + "/";
            leaf.clear();
        }
        if (item.Kind == EntryKind::Link) leaf += "|" + item.Data;

        // Extensions as levels 1 and 2 chain them: type, data, then the size of the next one (0: none).
        std::string extensions;
        auto extension = [&](unsigned char type, const std::string& bytes) {
            std::string next;
            next += static_cast<char>(type);
            next += bytes;
            Put16(extensions, static_cast<unsigned>(next.size() + 2));
            extensions += next;
        };
        if (level == 2) extension(0x00, std::string(2, '\0')); // header CRC, filled in below
        if (level == 2) extension(0x01, leaf);
        if (level >= 1 && !folders.empty()) extension(0x02, Replaced(folders, '/', '\xFF'));
        if (level >= 1 && item.Kind == EntryKind::Link) {
            std::string mode;
            Put16(mode, 0120777);
            extension(0x50, mode);
        }
        Put16(extensions, 0);

        std::string header;
        if (level == 0 || level == 1) {
            const std::string name = level == 0 ? Replaced(folders, '/', '\\') + leaf : leaf;
            std::string body = method;
            // Level 1 counts the extensions with the data.
            const size_t skip = data.size() + (level == 1 ? extensions.size() - 2 : 0);
            Put32(body, static_cast<std::uint32_t>(skip));
            Put32(body, static_cast<std::uint32_t>(data.size()));
            Put32(body, DosTime());
            body += '\x20';
            body += static_cast<char>(level);
            body += static_cast<char>(name.size());
            body += name;
            Put16(body, Crc16(data));
            if (level == 1) {
                body += 'U';
                body += extensions.substr(0, 2); // size of the first extension
            }
            unsigned sum = 0;
            for (unsigned char c : body)
                sum += c;
            header += static_cast<char>(body.size());
            header += static_cast<char>(sum & 0xFF);
            header += body;
            if (level == 1) header += extensions.substr(2);
        } else {
            std::string body = method;
            Put32(body, static_cast<std::uint32_t>(data.size()));
            Put32(body, static_cast<std::uint32_t>(data.size()));
            Put32(body, static_cast<std::uint32_t>(FixtureTime()));
            body += '\x20';
            body += '\x02';
            Put16(body, Crc16(data));
            body += 'U';
            Put16(header, static_cast<unsigned>(2 + body.size() + extensions.size()));
            header += body + extensions;
            // The common extension holds the CRC of the whole header, taken while it is zero.
            const unsigned crc = Crc16(header);
            const size_t at = 2 + body.size() + 2 + 1;
            header[at] = static_cast<char>(crc & 0xFF);
            header[at + 1] = static_cast<char>(crc >> 8);
        }
        out += header + data;
    }
    out += '\0';
    return out;
}

std::map<std::string, std::string> Tree(const std::string& folder) {
    namespace fs = std::filesystem;
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string name = fs::relative(entry.path(), folder).string();
        if (entry.is_directory() && !entry.is_symlink())
            tree[name + "/"] = "";
        else
            tree[name] =
                entry.is_symlink() ? "-> " + fs::read_symlink(entry.path()).string() : ReadFile(entry.path());
    }
    return tree;
}

bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

class ScopedPrompts::Recorded : public Prompts {
public:
    PromptAnswer Show(PromptKind kind, const std::string& text) override {
        Seen.push_back((kind == PromptKind::Message ? "" : "?") + text);
        return PromptAnswer::Ok;
    }
    std::vector<std::string> Seen;
};

ScopedPrompts::ScopedPrompts() : boxes_(std::make_shared<Recorded>()) {
    InstallPrompts(boxes_);
}

ScopedPrompts::~ScopedPrompts() {
    InstallPrompts(std::make_shared<QtPrompts>());
}

std::vector<std::string> ScopedPrompts::Messages() const {
    return boxes_->Seen;
}

} // namespace towagi::testing
