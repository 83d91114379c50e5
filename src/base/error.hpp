#pragma once
// Errors as values: a message with an optional chain of underlying causes.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace velmor {

class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}
    Error(std::string message, Error cause)
        : message_(std::move(message)), cause_(std::make_shared<const Error>(std::move(cause))) {}

    // The outermost message: what replies and the core record carry.
    const std::string& message() const { return message_; }
    // The underlying cause, or null.
    const Error* cause() const { return cause_.get(); }

    // The message; with causes, then a blank line, "Caused by:" and the causes,
    // indented by four blanks and numbered from 0 when there are several.
    // Log lines and the command line's error report carry this text.
    std::string full_description() const;
    // The message and its causes on one line, each after ": ", for a log line
    // or a reply that must stay one.
    std::string one_line() const;

    // The operating system's error code that this error or its nearest cause
    // carries (see os_error), if any.
    std::optional<std::uint32_t> system_code() const {
        for (const Error* e = this; e != nullptr; e = e->cause())
            if (e->system_code_) return e->system_code_;
        return std::nullopt;
    }
    Error with_system_code(std::uint32_t code) && {
        system_code_ = code;
        return std::move(*this);
    }

    // Wraps this error as the cause of a new one with the given message.
    Error context(std::string message) const& { return Error(std::move(message), *this); }
    Error context(std::string message) && { return Error(std::move(message), std::move(*this)); }

private:
    std::string message_;
    std::shared_ptr<const Error> cause_;
    std::optional<std::uint32_t> system_code_;
};

// Success with a value (or none), or an error. A result that is dropped
// unread is a compile error under -Werror: every failure is looked at.
template <class T = void>
class [[nodiscard]] Result : public std::expected<T, Error> {
public:
    using std::expected<T, Error>::expected;
    Result(std::expected<T, Error> other) : std::expected<T, Error>(std::move(other)) {}
};

inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected<Error>(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

}  // namespace velmor
