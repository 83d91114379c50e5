#include "control/protocol.hpp"

#include <cstdio>
#include <cstring>

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>
#include <rapidjson/allocators.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/text.hpp"
#include "control/actions.hpp"
#include "control/json_check.hpp"

namespace velmor {
namespace {

// Builds a Request from SAX events: members "id", "action" and "config" take
// a string or null, each at most once; other members are skipped whatever
// they hold. Stops the reader with a fault of its own on any violation.
class RequestHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RequestHandler> {
public:
    // A configuration at least this long is not copied out of the buffer
    // being read; `long_config` points to it there instead, with `config`
    // left empty, and the caller makes the buffer itself the string.
    static constexpr std::size_t LONG_CONFIG_BYTES = 4096;

    Request request;
    std::string fault;  // set when the handler stopped the reader
    std::string_view long_config;

    bool Null() { return scalar(nullptr, 0, "null", true); }
    bool Bool(bool b) { return scalar(nullptr, 0, b ? "boolean `true`" : "boolean `false`", false); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return scalar(nullptr, 0, "number", false); }
    bool String(const char* s, rapidjson::SizeType n, bool) {
        if (!is_valid_decoded_string(s, n)) return stop("lone surrogate in hex escape");
        return scalar(s, n, "string", true);
    }

    bool StartObject() { return open("map"); }
    bool StartArray() { return open("sequence"); }
    bool EndObject(rapidjson::SizeType) { --depth_; return true; }
    bool EndArray(rapidjson::SizeType) { --depth_; return true; }

    bool Key(const char* s, rapidjson::SizeType n, bool) {
        if (!is_valid_decoded_string(s, n)) return stop("lone surrogate in hex escape");
        if (depth_ != 1) return true;
        const std::string_view key(s, n);
        target_ = nullptr;
        bool* seen = nullptr;
        if (key == "id") { target_ = &request.id; seen = &seen_id_; }
        else if (key == "action") { target_ = &request.action; seen = &seen_action_; }
        else if (key == "config") { target_ = &request.config; seen = &seen_config_; }
        if (seen == nullptr) return true;
        if (*seen) return stop("duplicate field `" + std::string(key) + "`");
        *seen = true;
        return true;
    }

private:
    bool open(const char* what) {
        if (depth_ == 0 && std::string_view(what) != "map")
            return stop(std::string("invalid type: ") + what + ", expected a request object");
        if (depth_ == 1 && target_ != nullptr)
            return stop(std::string("invalid type: ") + what + ", expected a string or null");
        if (++depth_ > MAX_JSON_DEPTH) return stop("recursion limit exceeded");
        return true;
    }

    // A value that is not an object or array. `text` is set for strings.
    bool scalar(const char* text, rapidjson::SizeType n, const char* what, bool allowed) {
        if (depth_ == 0) return stop(std::string("invalid type: ") + what + ", expected a request object");
        if (depth_ != 1 || target_ == nullptr) return true;
        std::optional<std::string>* target = std::exchange(target_, nullptr);
        if (!allowed) return stop(std::string("invalid type: ") + what + ", expected a string or null");
        if (text == nullptr) target->reset();
        else if (target == &request.config && n >= LONG_CONFIG_BYTES) {
            target->emplace();
            long_config = std::string_view(text, n);
        } else {
            target->emplace(text, n);
        }
        return true;
    }

    bool stop(std::string why) {
        fault = std::move(why);
        return false;
    }

    std::size_t depth_ = 0;
    std::optional<std::string>* target_ = nullptr;  // member whose value comes next
    bool seen_id_ = false, seen_action_ = false, seen_config_ = false;
};

// RapidJSON's working stacks (the reader's nesting, the writer's levels) come
// from a small pool on the caller's stack: a reader or writer with its own
// allocator costs two heap allocations, more than the rest of a ping.
class JsonScratch {
public:
    JsonScratch() : pool_(buffer_, sizeof buffer_) {}
    JsonScratch(const JsonScratch&) = delete;
    JsonScratch& operator=(const JsonScratch&) = delete;
    rapidjson::MemoryPoolAllocator<>* allocator() { return &pool_; }

private:
    alignas(16) char buffer_[2048];
    rapidjson::MemoryPoolAllocator<> pool_;
};

using JsonReader = rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>;
using JsonBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>;
using JsonWriter = rapidjson::Writer<JsonBuffer, rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>;

void write_optional(JsonWriter& w, const std::optional<std::string>& s) {
    if (s) w.String(s->data(), static_cast<rapidjson::SizeType>(s->size()));
    else w.Null();
}

// The compact JSON text that `write` makes, then `end`, in one allocation.
template <class Write>
std::string compact_json(Write&& write, std::string_view end = {}) {
    JsonScratch scratch;
    JsonBuffer buffer(scratch.allocator());
    JsonWriter w(buffer, scratch.allocator());
    write(w);
    std::string text;
    text.reserve(buffer.GetSize() + end.size());
    text.append(buffer.GetString(), buffer.GetSize());
    text.append(end);
    return text;
}

std::string status_data(const CoreSnapshot& snap) {
    return compact_json([&](JsonWriter& w) {
        w.StartObject();
        w.Key("error");
        write_optional(w, snap.error);
        w.Key("running");
        w.Bool(snap.status == "running");
        w.Key("status");
        w.String(snap.status.data(), static_cast<rapidjson::SizeType>(snap.status.size()));
        w.EndObject();
    });
}

Reply reply_for(const Request& request, Result<> outcome, std::optional<std::string> data = std::nullopt) {
    Reply reply;
    reply.id = request.id;
    reply.ok = outcome.has_value();
    if (outcome) reply.data = std::move(data);
    else reply.error = outcome.error().message();
    return reply;
}

// parse_request for text already known to be valid UTF-8.
Result<Request> parse_valid_utf8_request(std::string_view text) {
    RequestHandler handler;
    if (const std::size_t at = find_control_character(text); at != std::string_view::npos) {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(text[at]));
        return fail(std::string("control character (") + escaped + ") found at " + describe_position(text, at));
    }
    // Read in place: strings are decoded inside the copy rather than on the
    // reader's own stack, which for a 4 MiB configuration saves its growth.
    // A short request is copied to the stack, with the room after its end
    // that padded_json_copy gives a long one.
    alignas(16) char small[512];
    std::string large;
    char* copy = small;
    if (text.size() + 1 + 16 <= sizeof small) {
        std::memcpy(small, text.data(), text.size());
        small[text.size()] = '\0';
    } else {
        large = padded_json_copy(text);
        copy = large.data();
    }
    rapidjson::InsituStringStream stream(copy);
    JsonScratch scratch;
    JsonReader reader(scratch.allocator());
    constexpr unsigned flags =
        rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
    const rapidjson::ParseResult result = reader.Parse<flags>(stream, handler);
    if (result.IsError()) {
        std::string what = handler.fault;
        if (what.empty()) {
            what = rapidjson::GetParseError_En(result.Code());
            if (!what.empty() && what.back() == '.') what.pop_back();
        }
        return fail(what + " at " + describe_position(text, result.Offset()));
    }
    if (!handler.long_config.empty()) {
        // A long configuration only occurs in a request too long for `small`:
        // the decoded text is moved to the front of `large`, which then
        // becomes the configuration, padding included (see check_config),
        // without another allocation of several MiB.
        const auto offset = static_cast<std::size_t>(handler.long_config.data() - large.data());
        const std::size_t size = handler.long_config.size();
        large.erase(0, offset);
        large.resize(size);
        handler.request.config = std::move(large);
    }
    return std::move(handler.request);
}

}  // namespace

Result<Request> parse_request(std::string_view text) {
    // The bytes are checked once, up front, instead of by the reader string
    // by string, which costs several times as much on a large configuration.
    if (const auto fault = find_utf8_fault(text))
        return fail(fault->describe() + " at " + describe_position(text, fault->index));
    return parse_valid_utf8_request(text);
}

std::string serialize_reply(const Reply& reply) {
    return compact_json(
        [&](JsonWriter& w) {
            w.StartObject();
            w.Key("id");
            write_optional(w, reply.id);
            w.Key("ok");
            w.Bool(reply.ok);
            w.Key("error");
            write_optional(w, reply.error);
            w.Key("data");
            if (reply.data) w.RawValue(reply.data->data(), reply.data->size(), rapidjson::kObjectType);
            else w.Null();
            w.EndObject();
        },
        "\n");
}

std::optional<Action> parse_action(std::string_view word) {
    for (const Action action : {Action::ping, Action::status, Action::start, Action::stop})
        if (word == action_word(action)) return action;
    return std::nullopt;
}

Result<std::string> handle_request(std::string_view received, ActionContext& actions, const ControlClient& client) {
    const std::string_view line = received.substr(0, received.find('\n'));
    if (const auto fault = find_utf8_fault(line)) return fail(fault->describe());
    const std::string_view text = trim_unicode_white_space(line);

    Result<Request> parsed = parse_valid_utf8_request(text);
    if (!parsed) {
        // A request error is never sent back; it only reaches the log, so the
        // client's text is bounded and escaped to keep it to one short line.
        return fail(std::move(parsed.error()).context("invalid request: " + escape_for_log(text)));
    }
    Request& request = *parsed;

    const std::optional<Action> action = request.action ? parse_action(*request.action) : std::nullopt;
    Reply reply;
    if (action == Action::ping) {
        reply = reply_for(request, {}, std::string(R"({"pong":true})"));
    } else if (action == Action::status) {
        CoreSnapshot snap = core_snapshot(actions.core());
        if (snap.error && client.may_see_error && !client.may_see_error()) snap.error = std::string(HIDDEN_ERROR_TEXT);
        reply = reply_for(request, {}, status_data(snap));
    } else if (action == Action::start || action == Action::stop) {
        if (Result<> admitted = client.gate ? client.gate(*action) : Result<>(); !admitted) {
            reply = reply_for(request, std::move(admitted));
        } else {
            // Asked before the action: the client may be gone after it.
            const ClientIdentity who = client.identity ? client.identity() : ClientIdentity{"a client", {}};
            if (who.unreadable) {
                Result<> refused = fail(Error(std::string(UNIDENTIFIED_CLIENT_ERROR), *who.unreadable));
                log_action(actions, ActionReport{*action, who.name, refused, false, action == Action::start});
                reply = reply_for(request, std::move(refused));
            } else {
                reply = reply_for(request, run_attributed_action(actions, *action, std::move(request.config), who.name));
            }
        }
    } else {
        reply = reply_for(request, fail("unknown action"));
    }
    return serialize_reply(reply);
}

}  // namespace velmor
