#pragma once
// The one owner template for the handles the helper holds: one line per
// handle kind (base/win.hpp, base/native_handle.hpp).

#include <utility>

namespace velmor {

// Owns one handle and closes it once, with the close call of its kind.
template <class T, auto Close, T Invalid = T{}>
class unique_any {
public:
    unique_any() = default;
    explicit unique_any(T value) : value_(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept : value_(other.release()) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~unique_any() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Invalid; }
    T release() { return std::exchange(value_, Invalid); }
    void reset(T value = Invalid) {
        T old = std::exchange(value_, value);
        if (old != Invalid) Close(old);
    }

private:
    T value_ = Invalid;
};

}  // namespace velmor
