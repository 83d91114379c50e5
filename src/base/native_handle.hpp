#pragma once
// The owner of a system handle that a portable header holds: a Windows
// HANDLE (a mutex, a file) or a POSIX file descriptor, closed once with the
// platform's close call. Windows files adopt and read it through
// base/win.hpp (native_handle_of, handle_of).

#include <cstdint>
#include <utility>

namespace velmor {

class NativeHandle {
public:
    using Value = std::intptr_t;
    // No handle: INVALID_HANDLE_VALUE on Windows, -1 for a descriptor.
    static constexpr Value NONE = -1;

    NativeHandle() = default;
    explicit NativeHandle(Value value) : value_(value) {}
    NativeHandle(const NativeHandle&) = delete;
    NativeHandle& operator=(const NativeHandle&) = delete;
    NativeHandle(NativeHandle&& other) noexcept : value_(other.release()) {}
    NativeHandle& operator=(NativeHandle&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~NativeHandle() { reset(); }

    Value get() const { return value_; }
    explicit operator bool() const { return value_ != NONE; }
    Value release() { return std::exchange(value_, NONE); }
    void reset(Value value = NONE) {
        const Value old = std::exchange(value_, value);
        if (old != NONE) close(old);
    }

private:
    static void close(Value value);  // CloseHandle or close
    Value value_ = NONE;
};

}  // namespace velmor
