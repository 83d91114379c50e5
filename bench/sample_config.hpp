#pragma once
// A realistic core configuration of about 4 MiB: thousands of proxy entries,
// groups over them and tens of thousands of rules, with non-ASCII names.

#include <cstddef>
#include <string>

namespace velmor::bench {

// Compact JSON text of at least `min_bytes`, at most about 20 kB more.
std::string sample_config(std::size_t min_bytes);

// {"id":…,"action":"start","config":…} and a line feed, `config` escaped as a
// JSON string.
std::string start_request(const std::string& config);

}  // namespace velmor::bench
