#pragma once
#include <filesystem>
#include <optional>
#include <string>

namespace towagi::testing {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    // The folder as the launcher's routines take it: ending with '/'.
    std::string Dir() const { return path_.string() + "/"; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Sets (or with nullopt unsets) an environment variable and restores the old value on destruction.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Both hives in a private folder, installed as the process's settings store for one test.
class ScopedHives {
public:
    ScopedHives();
    const TempDir& Folder() const { return dir_; }
    std::string MachineHive() const { return dir_.File("machine.hive"); }
    std::string UserHive() const { return dir_.File("user.hive"); }

private:
    TempDir dir_;
    ScopedEnv machine_;
    ScopedEnv user_;
};

// Set-up a test cannot go on without. Throws, so that the test ends at once: an ASSERT inside a helper
// returns only from the helper, and the test would go on with half its set-up.
void Require(bool condition, const std::string& what);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

} // namespace towagi::testing
