#include "base/error.hpp"

#include "base/os_error.hpp"

#include <vector>

namespace velmor {
namespace {

// Appends text, indenting every line after the first by `indent` blanks.
void append_indented(std::string& out, std::string_view text, std::size_t indent) {
    for (char c : text) {
        out.push_back(c);
        if (c == '\n') out.append(indent, ' ');
    }
}

}  // namespace

std::string Error::full_description() const {
    std::string out = message_;
    std::vector<const Error*> causes;
    for (const Error* e = cause(); e != nullptr; e = e->cause()) causes.push_back(e);
    if (causes.empty()) return out;
    out += "\n\nCaused by:";
    if (causes.size() == 1) {
        out += "\n    ";
        append_indented(out, causes[0]->message(), 4);
        return out;
    }
    for (std::size_t i = 0; i < causes.size(); ++i) {
        std::string label = std::to_string(i) + ": ";
        out += "\n    ";
        out += label;
        append_indented(out, causes[i]->message(), 4 + label.size());
    }
    return out;
}

std::string Error::one_line() const {
    std::string text = message_;
    for (const Error* cause = this->cause(); cause != nullptr; cause = cause->cause()) text += ": " + cause->message();
    return text;
}

Error call_error(std::string_view call, std::uint32_t code) {
    if (code == 0) return Error(std::string(call) + " failed, but system did not report the error");
    return Error(std::string(call) + " failed: " + std::to_string(code), os_error(code)).with_system_code(code);
}

}  // namespace velmor
