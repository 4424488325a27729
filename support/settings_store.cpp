#include "support/settings_store.h"

#include <mutex>
#include <utility>

namespace towagi {
namespace {

std::mutex installedLock;
std::shared_ptr<SettingsStore> installed;

} // namespace

void InstallSettingsStore(std::shared_ptr<SettingsStore> store) {
    std::lock_guard<std::mutex> guard(installedLock);
    installed = std::move(store);
}

SettingsStore& CurrentSettingsStore() {
    std::lock_guard<std::mutex> guard(installedLock);
    // A program that forgot to install its store must not silently read every setting as missing.
    if (!installed)
        throw ESettingsError("設定ストアが準備されていません (InstallSettingsStore が呼ばれていません)");
    return *installed;
}

} // namespace towagi
