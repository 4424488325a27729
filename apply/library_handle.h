#pragma once
#include <string>

namespace towagi {

// A shared library loaded by name at run time; released when its owner goes.
class LibraryHandle {
public:
    LibraryHandle() = default;
    ~LibraryHandle() { Reset(); }
    LibraryHandle(LibraryHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    LibraryHandle& operator=(LibraryHandle&& other) noexcept;
    LibraryHandle(const LibraryHandle&) = delete;
    LibraryHandle& operator=(const LibraryHandle&) = delete;

    // The library from `firstDir` (ending with '/') when that folder holds the file, otherwise from the
    // system's normal search. Not loaded when neither has it (or it cannot be loaded).
    static LibraryHandle Load(const std::string& fileName, const std::string& firstDir);

    bool IsLoaded() const { return handle_ != nullptr; }
    void* Get() const { return handle_; }
    // The address of an entry point; nullptr when the library lacks it or none is loaded.
    void* Symbol(const char* name) const;
    template <typename Function> Function Entry(const char* name) const {
        return reinterpret_cast<Function>(Symbol(name));
    }
    void Reset();

private:
    explicit LibraryHandle(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

} // namespace towagi
