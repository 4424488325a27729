#include "apply/library_handle.h"

#include <dlfcn.h>
#include <unistd.h>

namespace towagi {

LibraryHandle& LibraryHandle::operator=(LibraryHandle&& other) noexcept {
    if (this != &other) {
        Reset();
        handle_ = other.handle_;
        other.handle_ = nullptr;
    }
    return *this;
}

LibraryHandle LibraryHandle::Load(const std::string& fileName, const std::string& firstDir) {
    // As on the suite's home platform, a library in the program folder wins over any installed elsewhere;
    // one that lies there but does not load is not replaced by another.
    const std::string local = firstDir + (firstDir.ends_with('/') ? "" : "/") + fileName;
    if (!firstDir.empty() && access(local.c_str(), F_OK) == 0)
        return LibraryHandle(dlopen(local.c_str(), RTLD_NOW | RTLD_LOCAL));
    return LibraryHandle(dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL));
}

void* LibraryHandle::Symbol(const char* name) const {
    return handle_ ? dlsym(handle_, name) : nullptr;
}

void LibraryHandle::Reset() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
}

} // namespace towagi
