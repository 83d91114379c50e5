// Native benchmarks of the helper against baselines of what the machine and
// the JSON library do at all, measured side by side in one run:
//   - handle_request for "ping" and "status" against one RapidJSON SAX pass
//     over the same bytes plus writing the same reply;
//   - a "start" with a 4 MiB configuration, handled up to the loading of the
//     core library (no core library lies beside this program, so the start
//     ends there with "load core library"), against one bare SAX validation
//     pass over the request; and the peak heap growth while it is handled;
//   - log_message against one bare write() per line to the same kind of file.
// Run by scripts/bench, which passes --results PATH: the figures, their
// ratios and targets are then written there as Markdown.

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "control/config_check.hpp"
#include "control/protocol.hpp"
#include "core/core_state.hpp"
#include "counting_allocator.hpp"
#include "env/log.hpp"
#include "sample_config.hpp"

namespace {

using namespace velmor;

// Shared by every benchmark; set up in main before the runs.
struct Fixture {
    std::filesystem::path folder;  // ProgramData and the log files
    std::shared_ptr<CoreShared> core = std::make_shared<CoreShared>();
    std::string ping = R"({"id":"7","action":"ping"})" "\n";
    std::string status = R"({"id":"s","action":"status"})" "\n";
    std::string config;
    std::string start;
    std::string log_text = "core thread: start failed: unsupported proxy type \"wireguard\" in entry 1234";
};
Fixture* g;

[[noreturn]] void die(const std::string& why) {
    std::fprintf(stderr, "velmor-bench: %s\n", why.c_str());
    std::exit(1);
}

// The baseline's reply: the same members, written with the same library.
std::string bare_reply(const char* id, bool status) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("id");
    w.String(id);
    w.Key("ok");
    w.Bool(true);
    w.Key("error");
    w.Null();
    w.Key("data");
    w.StartObject();
    if (status) {
        w.Key("error");
        w.Null();
        w.Key("running");
        w.Bool(false);
        w.Key("status");
        w.String("stopped");
    } else {
        w.Key("pong");
        w.Bool(true);
    }
    w.EndObject();
    w.EndObject();
    std::string text(buffer.GetString(), buffer.GetSize());
    text.push_back('\n');
    return text;
}

bool bare_sax_pass(const std::string& text) {
    rapidjson::Reader reader;
    rapidjson::BaseReaderHandler<> handler;
    rapidjson::StringStream stream(text.c_str());
    return !reader.Parse<rapidjson::kParseValidateEncodingFlag>(stream, handler).IsError();
}

void BM_ping(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(handle_request(g->ping, *g->core));
}
void BM_ping_baseline(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(bare_sax_pass(g->ping));
        benchmark::DoNotOptimize(bare_reply("7", false));
    }
}
void BM_status(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(handle_request(g->status, *g->core));
}
void BM_status_baseline(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(bare_sax_pass(g->status));
        benchmark::DoNotOptimize(bare_reply("s", true));
    }
}
void BM_start(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(handle_request(g->start, *g->core));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(g->start.size()));
}
void BM_start_baseline(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(bare_sax_pass(g->start));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(g->start.size()));
}

// Both log benchmarks start from an empty file, so that repetitions do not
// fill the disk.
std::filesystem::path sink_file() { return g->folder / "sink" / std::string(LOG_FILE_NAME); }
std::filesystem::path bare_file() { return g->folder / "bare" / std::string(LOG_FILE_NAME); }

// log_message with standard error closed, as a service has none. The sink
// stops echoing once it finds standard error closed.
void BM_log(benchmark::State& state) {
    std::filesystem::resize_file(sink_file(), 0);
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::close(2);
    for (auto _ : state) log_message(g->log_text);
    ::dup2(saved, 2);
    ::close(saved);
    state.SetItemsProcessed(state.iterations());
}
void BM_log_baseline(benchmark::State& state) {
    const std::string line = format_log_line(system_time_intervals(), g->log_text);
    const int fd = ::open(bare_file().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) die("cannot open " + bare_file().string());
    for (auto _ : state) benchmark::DoNotOptimize(::write(fd, line.data(), line.size()));
    ::close(fd);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_ping)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ping_baseline)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_status)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_status_baseline)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_start)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_start_baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_log)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_log_baseline)->Unit(benchmark::kNanosecond);

// Keeps the median of every benchmark (or the single run without repetitions)
// as CPU seconds per iteration, and prints as the console reporter does. CPU
// time, not wall time: the machines are shared, and a benchmark that waits
// for a core is not slower. It includes the kernel's time in system calls.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;
    std::map<std::string, int> repetitions;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) die("benchmark " + run.benchmark_name() + " failed: " + run.error_message);
            const std::string name = run.run_name.function_name;
            const double s = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                seconds[name] = s;
                repetitions[name] = static_cast<int>(run.repetitions);
            } else if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
                seconds[name] = s;
                repetitions[name] = 1;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

std::string fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string duration(double s) {
    if (s < 1e-6) return fixed(s * 1e9, 0) + " ns";
    if (s < 1e-3) return fixed(s * 1e6, 2) + " µs";
    return fixed(s * 1e3, 2) + " ms";
}

std::string mib(double bytes) { return fixed(bytes / (1024.0 * 1024.0), 2) + " MiB"; }

std::string first_line_of(const char* command) {
    std::string out;
    if (FILE* p = ::popen(command, "r")) {
        char buffer[512];
        if (std::fgets(buffer, sizeof buffer, p)) out = buffer;
        ::pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

std::string cpu_model() {
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("model name")) return line.substr(line.find(':') + 2);
    return "unknown";
}

double process_cpu_seconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU seconds per call of `f`: the best of five rounds of `calls` calls, each
// round after `prepare`.
template <class P, class F>
double per_call(int calls, P prepare, F f) {
    double best = 1e9;
    for (int round = 0; round < 5; ++round) {
        prepare();
        const double start = process_cpu_seconds();
        for (int i = 0; i < calls; ++i) f();
        best = std::min(best, (process_cpu_seconds() - start) / calls);
    }
    return best;
}

struct EchoFigures {
    double sink = 0;  // seconds per log_message
    double bare = 0;  // seconds per bare write
};

// log_message with standard error on /dev/null (console mode with its output
// thrown away), which echoes every line with a second write. Measured before
// the benchmarks, since these close standard error, and the sink then stops
// echoing for good.
EchoFigures measure_echo_to_dev_null() {
    constexpr int CALLS = 100'000;
    std::fflush(stderr);
    const int saved = ::dup(2);
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ::dup2(null, 2);
    ::close(null);
    EchoFigures figures;
    figures.sink = per_call(
        CALLS, [] { std::filesystem::resize_file(sink_file(), 0); }, [] { log_message(g->log_text); });
    const std::string line = format_log_line(system_time_intervals(), g->log_text);
    const int fd = ::open(bare_file().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    figures.bare = per_call(
        CALLS, [&] { (void)::ftruncate(fd, 0); },
        [&] { benchmark::DoNotOptimize(::write(fd, line.data(), line.size())); });
    ::close(fd);
    ::dup2(saved, 2);
    ::close(saved);
    return figures;
}

struct HeapFigures {
    std::size_t growth = 0;
    std::size_t request = 0;
};

// Peak heap growth while the start request is handled, after one warm-up.
HeapFigures measure_start_heap() {
    (void)handle_request(g->start, *g->core);
    bench::count_heap(true);
    const Result<std::string> reply = handle_request(g->start, *g->core);
    const std::int64_t peak = bench::heap_peak();
    bench::count_heap(false);
    if (!reply) die("start request refused: " + reply.error().full_description());
    return {static_cast<std::size_t>(peak), g->start.size()};
}

void write_results(const std::string& path, const Collector& c, const HeapFigures& heap, const EchoFigures& echo) {
    std::ostringstream md;
    const auto row = [&](const std::string& what, const std::string& helper, const std::string& baseline,
                         double ratio, const std::string& target, bool met) {
        md << "| " << what << " | " << helper << " | " << baseline << " | " << fixed(ratio, 2) << " | " << target
           << " | " << (met ? "yes" : "**no**") << " |\n";
    };
    const auto s = [&](const char* name) {
        const auto it = c.seconds.find(name);
        if (it == c.seconds.end()) die(std::string("no result for ") + name);
        return it->second;
    };

    const std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    utsname uts{};
    ::uname(&uts);

    md << "# Benchmark results\n\n"
       << "Written by `scripts/bench` on " << date << ".\n\n"
       << "- Machine: " << cpu_model() << ", " << std::thread::hardware_concurrency() << " cores (nproc), "
       << uts.sysname << " " << uts.release << " " << uts.machine << "\n"
       << "- Build: " << first_line_of("c++ --version") << ", Release, no sanitizers\n"
       << "- Each figure is the median CPU time (user and system) of " << c.repetitions.at("BM_ping")
       << " repetitions; the repetitions of all benchmarks are interleaved at random, so that a helper figure and "
          "its baseline meet the same load. Ratios compare figures of the same run; absolute times are for "
          "orientation only.\n\n"
       << "## Native\n\n"
       << "| Measure | Helper | Baseline | Ratio | Target | Met |\n|---|---|---|---|---|---|\n";

    row("`handle_request` \"ping\" (time per request)", duration(s("BM_ping")), duration(s("BM_ping_baseline")),
        s("BM_ping") / s("BM_ping_baseline"), "≤ 2", s("BM_ping") / s("BM_ping_baseline") <= 2.0);
    row("`handle_request` \"status\" (time per request)", duration(s("BM_status")),
        duration(s("BM_status_baseline")), s("BM_status") / s("BM_status_baseline"), "≤ 2",
        s("BM_status") / s("BM_status_baseline") <= 2.0);
    const double start_ratio = s("BM_start") / s("BM_start_baseline");
    row("\"start\" with a " + mib(static_cast<double>(g->config.size())) +
            " configuration, up to the core library (time per request)",
        duration(s("BM_start")), duration(s("BM_start_baseline")), start_ratio, "≤ 2.5", start_ratio <= 2.5);
    const double heap_ratio = static_cast<double>(heap.growth) / static_cast<double>(heap.request);
    row("Peak heap growth during that \"start\" (baseline: the request's size)", mib(static_cast<double>(heap.growth)),
        mib(static_cast<double>(heap.request)), heap_ratio, "≤ 3", heap_ratio <= 3.0);
    const double log_ratio = s("BM_log_baseline") / s("BM_log");
    row("`log_message` without standard error, as a service (lines per second)", fixed(1.0 / s("BM_log"), 0) + " lines/s",
        fixed(1.0 / s("BM_log_baseline"), 0) + " lines/s", log_ratio, "≥ 0.8", log_ratio >= 0.8);
    md << "| `log_message` with standard error on /dev/null (lines per second; for information) | "
       << fixed(1.0 / echo.sink, 0) << " lines/s | " << fixed(1.0 / echo.bare, 0) << " lines/s | "
       << fixed(echo.bare / echo.sink, 2) << " | none | - |\n";

    md << "\nBaselines:\n\n"
       << "- \"ping\", \"status\": one RapidJSON SAX pass (`Reader` with encoding validation, a handler that keeps "
          "nothing) over the same request bytes, plus writing the same reply with RapidJSON's `Writer` into a "
          "string with its line feed.\n"
       << "- \"start\": one bare RapidJSON SAX validation pass over the " << mib(static_cast<double>(g->start.size()))
       << " request. The helper's figure is the whole `handle_request` of that request in a build where no core "
          "library lies beside the program: decoding and trimming the line, parsing the request, the configuration "
          "check (a second parse of the " << mib(static_cast<double>(g->config.size()))
       << " configuration), the data folder and Wintun steps, the failed library load and the reply.\n"
       << "- Heap: every byte taken from the malloc family (which `operator new` and RapidJSON both use), counted "
          "by usable block size; a block that `realloc` moves counts beside its old copy until the move is done. "
          "Growth is the peak during the request minus what was held before it.\n"
       << "- `log_message`: the same line bytes written with one bare `write` per line to a file opened with "
          "`O_APPEND` in the same folder. With standard error closed, as for a service, the sink writes the file "
          "only; with standard error open it echoes each line with a second system call, which the information "
          "row shows (best of five rounds of 100000 lines, measured before the benchmark runs).\n";
    std::ofstream(path, std::ios::binary) << md.str();
    std::fputs(md.str().c_str(), stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string results;
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--results" && i + 1 < argc) results = argv[++i];
        else args.push_back(argv[i]);
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());

    Fixture fixture;
    g = &fixture;
    char folder[] = "/tmp/velmor-bench-XXXXXX";
    if (::mkdtemp(folder) == nullptr) die("mkdtemp failed");
    fixture.folder = folder;
    ::setenv("ProgramData", folder, 1);
    std::filesystem::create_directories(fixture.folder / "sink");
    std::filesystem::create_directories(fixture.folder / "bare");
    init_log(fixture.folder / "sink");

    fixture.config = bench::sample_config(4'150'000);
    if (fixture.config.size() > MAX_CONFIG_BYTES) die("the sample configuration is too large");
    fixture.start = bench::start_request(fixture.config);
    // The start must end where the core library would be loaded.
    const Result<std::string> reply = handle_request(fixture.start, *fixture.core);
    if (!reply || reply->find("\"load core library\"") == std::string::npos)
        die("the start request did not stop at the core library: " +
            (reply ? *reply : reply.error().full_description()));
    if (!bare_sax_pass(fixture.start)) die("the baseline does not accept the start request");

    const HeapFigures heap = measure_start_heap();
    const EchoFigures echo = measure_echo_to_dev_null();
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    if (!results.empty()) write_results(results, collector, heap, echo);

    std::error_code ec;
    std::filesystem::remove_all(fixture.folder, ec);
    benchmark::Shutdown();
    return 0;
}
