// Fuzzes handle_request with arbitrary received bytes. Each input is handled
// as received, and then each line after the first as a request of its own,
// all on one fresh core record with short delays (1 ms start check, 50 ms
// stop time-out), so that a sequence of requests drives the record through
// its states. "start" and "stop" reach the real controller and the fake core
// library (libclash_ffi.so beside this program), whose behaviour the
// configuration chooses; after each input every core thread is stopped and
// waited for, so that no input leaves anything running into the next one.
// Besides the sanitizers, every outcome must be consistent with the request
// text:
//  - a request error exactly when the first line is not UTF-8 or not a valid
//    request after trimming, and then the matching message;
//  - otherwise one compact JSON object and a line feed, with "id", "ok",
//    "error" and "data" in this order, the request's id echoed, "error" set
//    exactly when "ok" is false, and the data that the action defines;
//  - after a successful stop, the next status is "stopped".

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "base/text.hpp"
#include "control/actions.hpp"
#include "control/protocol.hpp"
#include "core/core_controller.hpp"
#include "core/core_state.hpp"

#include "../fakes/fake_core_config.hpp"

namespace {

constexpr int MAX_REQUESTS_PER_INPUT = 8;
constexpr velmor::CoreTimings FUZZ_TIMINGS{std::chrono::milliseconds(1), std::chrono::milliseconds(50)};
// The longest delay ("ms") a fake core may be asked for; longer inputs are
// refused, so that one input never takes more than a fraction of a second.
constexpr int MAX_FAKE_CORE_MS = 100;

// Standard error as it was before the engine closed it (-close_fd_mask=2
// keeps the helper's log echo out of the report).
int g_report_fd = 2;
std::filesystem::path g_program_data;
std::string g_machine_lock_name;
bool g_trace = false;  // VELMOR_FUZZ_TRACE=1: print each request and its outcome

void trace(std::string_view received, const velmor::Result<std::string>& outcome) {
    if (!g_trace) return;
    std::string text = "> " + std::string(received.substr(0, received.find('\n'))) + "\n< ";
    text += outcome ? *outcome : "request error: " + outcome.error().message() + "\n";
    (void)!::write(g_report_fd, text.data(), text.size());
}

[[noreturn]] void broken(const char* what, std::string_view detail) {
    const std::string text = std::string("fuzz_handle_request: ") + what + ": " + std::string(detail) + "\n";
    (void)!::write(g_report_fd, text.data(), text.size());
    std::abort();
}

void remove_run_files() {
    std::error_code ec;
    std::filesystem::remove_all(g_program_data, ec);
    std::string lock_file = g_machine_lock_name + ".lock";
    for (char& c : lock_file)
        if (c == '\\' || c == '/') c = '.';
    std::filesystem::remove(std::filesystem::temp_directory_path(ec) / lock_file, ec);
}

// The reply as a flat list of SAX events.
struct Event {
    enum Kind { Null, Bool, Number, String, Key, StartObject, EndObject, StartArray, EndArray } kind;
    std::string text;  // of strings, keys and numbers
    bool flag = false;  // of booleans
};

struct Recorder : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Recorder> {
    std::vector<Event> events;
    bool add(Event::Kind kind, std::string text = {}, bool flag = false) {
        events.push_back(Event{kind, std::move(text), flag});
        return true;
    }
    bool Null() { return add(Event::Null); }
    bool Bool(bool b) { return add(Event::Bool, {}, b); }
    bool RawNumber(const char* s, rapidjson::SizeType n, bool) { return add(Event::Number, std::string(s, n)); }
    bool String(const char* s, rapidjson::SizeType n, bool) { return add(Event::String, std::string(s, n)); }
    bool Key(const char* s, rapidjson::SizeType n, bool) { return add(Event::Key, std::string(s, n)); }
    bool StartObject() { return add(Event::StartObject); }
    bool EndObject(rapidjson::SizeType) { return add(Event::EndObject); }
    bool StartArray() { return add(Event::StartArray); }
    bool EndArray(rapidjson::SizeType) { return add(Event::EndArray); }
};

constexpr unsigned READ_FLAGS = rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;

// The events of `json`; aborts unless it is valid JSON that the writer
// would write exactly so (compact).
std::vector<Event> read_compact(std::string_view json) {
    rapidjson::Reader reader;
    {
        rapidjson::MemoryStream stream(json.data(), json.size());
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        if (reader.Parse<READ_FLAGS>(stream, writer).IsError()) broken("reply is not JSON", json);
        if (std::string_view(buffer.GetString(), buffer.GetSize()) != json) broken("reply is not compact", json);
    }
    rapidjson::MemoryStream stream(json.data(), json.size());
    Recorder recorder;
    reader.Parse<READ_FLAGS>(stream, recorder);
    return std::move(recorder.events);
}

bool is(const Event& e, Event::Kind kind, std::string_view text = {}) {
    return e.kind == kind && (text.empty() || e.text == text);
}


// True when a fake core given this configuration ends, or obeys a shutdown,
// within MAX_FAKE_CORE_MS.
bool fake_core_is_quick(std::string_view config) {
    const int ms = fake_core::delay_ms(config);
    return ms <= MAX_FAKE_CORE_MS && !(fake_core::member(config, "mode") == "hang-shutdown" && ms == 0);
}

std::size_t thread_count() {
    std::size_t count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec)) ++count;
    return count;
}

// Stops and waits for every core thread that the record knows to be alive,
// then for every other thread that the input started (a stop's joiner ends
// a moment after the threads it waited for): whatever an input started must
// be gone before the next one, or it would show as a leak or run into it.
void settle(velmor::CoreShared& core, std::size_t threads_before) {
    for (int round = 0; round < 20; ++round) {
        std::vector<std::shared_ptr<velmor::CoreRun>> live;
        {
            std::lock_guard lock(core.mutex);
            for (const auto& run : core.live_runs)
                if (!run->ended()) live.push_back(run);
        }
        if (live.empty()) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (thread_count() > threads_before) {
                if (std::chrono::steady_clock::now() > deadline) broken("a thread outlived its input", "");
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return;
        }
        (void)velmor::stop_core(core);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
        for (const auto& run : live) run->wait_ended_until(deadline);
    }
    broken("a core thread outlived twenty stops", "");
}

// `after_stop`: whether the previous request of the input was a successful
// stop; updated for the next one.
void check_reply(std::string_view received, const velmor::Result<std::string>& outcome, bool& after_stop) {
    const std::string_view line = received.substr(0, received.find('\n'));
    const bool previous_was_stop = std::exchange(after_stop, false);
    if (const auto fault = velmor::find_utf8_fault(line)) {
        if (outcome) broken("answered a line that is not UTF-8", *outcome);
        if (outcome.error().message() != fault->describe()) broken("wrong UTF-8 fault", outcome.error().message());
        return;
    }
    const velmor::Result<velmor::Request> request = velmor::parse_request(velmor::trim_unicode_white_space(line));
    if (!request) {
        if (outcome) broken("answered an invalid request", *outcome);
        if (!outcome.error().message().starts_with("invalid request: "))
            broken("wrong request error", outcome.error().message());
        return;
    }
    if (!outcome) broken("refused a valid request", outcome.error().full_description());

    const std::string& reply = *outcome;
    if (reply.empty() || reply.back() != '\n' || reply.find('\n') != reply.size() - 1)
        broken("reply is not one line", reply);
    const std::vector<Event> e = read_compact(std::string_view(reply).substr(0, reply.size() - 1));
    if (e.size() < 10 || !is(e[0], Event::StartObject) || !is(e[1], Event::Key, "id") || !is(e[3], Event::Key, "ok") ||
        !is(e[5], Event::Key, "error") || !is(e[7], Event::Key, "data") || !is(e.back(), Event::EndObject))
        broken("reply members wrong or out of order", reply);
    const bool id_echoed = request->id ? is(e[2], Event::String) && e[2].text == *request->id : is(e[2], Event::Null);
    if (!id_echoed) broken("id not echoed", reply);
    if (!is(e[4], Event::Bool)) broken("ok is not a boolean", reply);
    const bool ok = e[4].flag;
    if (ok ? !is(e[6], Event::Null) : !is(e[6], Event::String)) broken("ok and error disagree", reply);
    const std::vector<Event> data(e.begin() + 8, e.end() - 1);
    const bool data_null = data.size() == 1 && is(data[0], Event::Null);
    if (!ok && !data_null) broken("failure with data", reply);

    const std::string action = request->action.value_or("");
    const bool known = request->action && (action == "ping" || action == "status" || action == "start" || action == "stop");
    if (!known && (ok || e[6].text != "unknown action")) broken("unknown action not refused", reply);
    if (known && action == "ping") {
        if (!ok || data.size() != 4 || !is(data[1], Event::Key, "pong") || !is(data[2], Event::Bool) || !data[2].flag)
            broken("wrong ping reply", reply);
    }
    if (known && action == "status") {
        if (!ok || data.size() != 8 || !is(data[1], Event::Key, "error") ||
            !(is(data[2], Event::Null) || is(data[2], Event::String)) || !is(data[3], Event::Key, "running") ||
            !is(data[4], Event::Bool) || !is(data[5], Event::Key, "status") || !is(data[6], Event::String))
            broken("wrong status reply", reply);
        const std::string_view word = data[6].text;
        if (word != "stopped" && word != "starting" && word != "running" && word != "stopping" && word != "failed")
            broken("unknown state word", reply);
        if (data[4].flag != (word == "running")) broken("running disagrees with status", reply);
    }
    if ((action == "start" || action == "stop") && !data_null) broken("start or stop with data", reply);
    if (previous_was_stop && known && action == "status" && data[6].text != "stopped") broken("not stopped after a stop", reply);
    after_stop = known && action == "stop" && ok;
}

}  // namespace

// A start prepares the service data folder under ProgramData: it goes to a
// folder of this run's own, removed at exit.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_report_fd = ::dup(2);
    g_trace = std::getenv("VELMOR_FUZZ_TRACE") != nullptr;
    char folder[] = "/tmp/velmor-fuzz-XXXXXX";
    if (::mkdtemp(folder) == nullptr) broken("mkdtemp failed", folder);
    g_program_data = folder;
    ::setenv("ProgramData", folder, 1);
    // A machine lock of this run's own, so that unit tests running beside it
    // never meet it.
    g_machine_lock_name = "Global\\velmor-fuzz-" + std::to_string(::getpid());
    std::atexit(remove_run_files);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    // The requests of this input: the whole input, then what follows each
    // line feed.
    std::vector<std::string_view> requests;
    for (std::string_view rest = input; requests.size() < MAX_REQUESTS_PER_INPUT;) {
        requests.push_back(rest);
        const std::size_t lf = rest.find('\n');
        if (lf == std::string_view::npos || lf + 1 == rest.size()) break;
        rest.remove_prefix(lf + 1);
    }
    for (const std::string_view received : requests) {
        const std::string_view line = received.substr(0, received.find('\n'));
        if (velmor::find_utf8_fault(line)) continue;
        const auto request = velmor::parse_request(velmor::trim_unicode_white_space(line));
        if (request && request->config && !fake_core_is_quick(*request->config)) return -1;
    }

    const std::size_t threads_before = thread_count();
    auto core = std::make_shared<velmor::CoreShared>(FUZZ_TIMINGS);
    core->machine_lock_name = g_machine_lock_name;
    auto actions = std::make_shared<velmor::ActionContext>(core);
    bool after_stop = false;
    for (const std::string_view received : requests) {
        const velmor::Result<std::string> outcome = velmor::handle_request(received, *actions);
        trace(received, outcome);
        check_reply(received, outcome, after_stop);
    }
    settle(*core, threads_before);
    return 0;
}
