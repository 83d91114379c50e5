#pragma once
// How the fake core reads one member of its configuration: the first
// occurrence of "name": and the string or the digits after it. Shared with
// the tests that need to know what the fake core will make of a text.

#include <string>
#include <string_view>

namespace fake_core {

inline std::string member(std::string_view config, std::string_view name) {
    const std::string key = "\"" + std::string(name) + "\":";
    const std::size_t at = config.find(key);
    if (at == std::string_view::npos) return {};
    std::size_t i = at + key.size();
    while (i < config.size() && config[i] == ' ') ++i;
    if (i < config.size() && config[i] == '"') {
        const std::size_t end = config.find('"', i + 1);
        return std::string(config.substr(i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1));
    }
    std::size_t end = i;
    while (end < config.size() && config[end] >= '0' && config[end] <= '9') ++end;
    return std::string(config.substr(i, end - i));
}

// The "ms" member as milliseconds: up to nine digits, quoted or not;
// anything else counts as no delay (0). Never throws, whatever the text.
inline int delay_ms(std::string_view config) {
    const std::string ms = member(config, "ms");
    if (ms.empty() || ms.size() > 9) return 0;
    int value = 0;
    for (const char c : ms) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace fake_core
