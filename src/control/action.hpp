#pragma once
// The actions a request can name. The protocol turns the request's word into
// an Action once (parse_action in protocol.hpp); the gate, the ControlAccess
// policy and the log take the Action and write its word where a line needs it.

#include <string_view>

namespace velmor {

enum class Action { ping, status, start, stop };

// The word a request names `action` by, as log lines and replies say it.
constexpr std::string_view action_word(Action action) {
    switch (action) {
        case Action::ping: return "ping";
        case Action::status: return "status";
        case Action::start: return "start";
        case Action::stop: return "stop";
    }
    return "?";
}

}  // namespace velmor
