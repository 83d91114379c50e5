#pragma once
// Errors as values: a message with an optional chain of underlying causes.

#include <expected>
#include <memory>
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

    // Wraps this error as the cause of a new one with the given message.
    Error context(std::string message) const& { return Error(std::move(message), *this); }
    Error context(std::string message) && { return Error(std::move(message), std::move(*this)); }

private:
    std::string message_;
    std::shared_ptr<const Error> cause_;
};

template <class T = void>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected<Error>(Error(std::move(message)));
}
inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

}  // namespace velmor
