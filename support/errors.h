#pragma once
#include <stdexcept>
#include <string>

namespace towagi {

// A step failed; the text is shown to the user as it stands.
class EUpdateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The user declined the version-up question; the update run ends normally.
class ECancel : public EUpdateError {
public:
    using EUpdateError::EUpdateError;
};

// A general error that carries only a message.
class EMyLibraryError : public EUpdateError {
public:
    using EUpdateError::EUpdateError;
};

// A file could not be opened, created, read or written; carries the system's error code.
class EInOutError : public std::runtime_error {
public:
    EInOutError(const std::string& message, int errorCode)
        : std::runtime_error(message), ErrorCode(errorCode) {}
    int ErrorCode;
};

// Bytes that do not convert between CP932 and UTF-8.
class EEncodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The system's description of an errno value, in the Japanese the suite's users read.
std::string SystemErrorText(int errorCode);

} // namespace towagi
