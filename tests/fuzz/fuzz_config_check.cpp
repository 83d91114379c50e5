// Fuzzes the configuration check of a "start" request with arbitrary bytes as
// the configuration text. Besides the sanitizers, every input must satisfy:
//  - the outcome is success or one of the check's four messages;
//  - JSON white space around the text changes nothing;
//  - an accepted text is one whole JSON value: RapidJSON's recursive parser
//    (the check uses the iterative one) accepts it too, and a comma after it
//    makes it invalid.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include "control/config_check.hpp"

namespace {

[[noreturn]] void broken(const char* what, std::string_view detail) {
    std::fprintf(stderr, "fuzz_config_check: %s: %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

std::string outcome(const velmor::Result<>& r) { return r ? std::string("ok") : r.error().message(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const velmor::Result<> checked = velmor::check_config(text);
    const std::string result = outcome(checked);

    if (result != "ok" && result != "empty config" && result != "config is not valid JSON" &&
        !(result.starts_with("config too large (") && size > velmor::MAX_CONFIG_BYTES))
        broken("unexpected outcome", result);

    if (size + 4 <= velmor::MAX_CONFIG_BYTES) {
        const std::string padded = outcome(velmor::check_config(" \t" + text + "\r\n"));
        if (padded != result) broken("white space changed the outcome", result + " / " + padded);
    }

    if (checked) {
        rapidjson::MemoryStream stream(text.data(), text.size());
        rapidjson::Reader reader;
        rapidjson::BaseReaderHandler<> handler;
        constexpr unsigned flags = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;
        if (reader.Parse<flags>(stream, handler).IsError()) broken("accepted text that the recursive parser refuses", text);
        if (velmor::check_config(text + ",")) broken("accepted a value followed by a comma", text);
    }
    return 0;
}
