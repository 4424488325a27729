#include "tests/common/test_env.h"

#include "platform/settings_store.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace towagi::testing {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "towagi-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests leave read-only files behind on purpose; give the owner write access back before removing.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value)
        setenv(name_.c_str(), value->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        setenv(name_.c_str(), old_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

ScopedHives::ScopedHives()
    : machine_("TOWAGI_MACHINE_HIVE", dir_.File("machine.hive")),
      user_("TOWAGI_USER_HIVE", dir_.File("user.hive")) {
    InstallSettingsStore(std::make_shared<SqliteSettingsStore>());
}

void Require(bool condition, const std::string& what) {
    if (!condition) throw std::runtime_error("set-up failed: " + what);
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace towagi::testing
