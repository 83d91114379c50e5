// Running a core end to end: the real helper in console mode with the fake
// core next to it, ProgramData pointing into the test's folder, requests on
// the control pipe, and what the fake core recorded.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "env/log_writer.hpp"
#include "env/log_limit.hpp"
#include "harness.hpp"
// After <windows.h>:
#include <sddl.h>
#include "support/access_check_win32.hpp"
#include "support/folder_links_win32.hpp"

namespace velmor::e2e {
namespace {

constexpr std::size_t MAX_CONFIG = 4194304;

// The log's messages without their time stamps.
std::vector<std::string> log_messages(const std::string& log) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < log.size()) {
        std::size_t end = log.find('\n', at);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t cut = line.find("}] ");
        out.push_back(cut == std::string::npos ? line : line.substr(cut + 3));
        at = end + 1;
    }
    return out;
}

using CoreEndToEnd = HelperTest;

TEST_F(CoreEndToEnd, StartStatusSecondStartAndStop) {
    ASSERT_TRUE(helper().place_fake_core());
    write_file(helper().folder() / L"wintun.dll", "wintun one");
    ASSERT_TRUE(helper().start_console());

    const std::string config = "{\"mode\":\"run\", \"name\": \"caf\xC3\xA9\"}  ";
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(exchange(start_request("1", config)).bytes, reply_ok("1"));
    // The start check: the reply comes only after the core survived 1.5 s.
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));

    const std::string data = narrow(data_dir().native());
    EXPECT_EQ(read_file(data_dir() / L"fake-core-config.txt"), config);
    EXPECT_EQ(read_file(data_dir() / L"fake-core-args.txt"),
              "log=" + data + "\\log\\clash.log\ncwd=" + data + "\nflag=1\nstarts=1\n");
    EXPECT_TRUE(std::filesystem::is_directory(data_dir() / L"log"));
    EXPECT_EQ(status(), status_reply("running", std::nullopt));
    EXPECT_EQ(read_file(data_dir() / L"wintun.dll"), "wintun one");

    {
        SCOPED_TRACE("second start: refused before the folder or Wintun is touched");
        write_file(helper().folder() / L"wintun.dll", "wintun two");
        // Held as the running core's loader holds it: no delete sharing.
        unique_handle loaded = adopt_file_handle(CreateFileW((data_dir() / L"wintun.dll").c_str(), GENERIC_READ,
                                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(loaded) << GetLastError();
        EXPECT_EQ(exchange(start_request("2", "{}")).bytes, reply_error("2", "core already running"));
        loaded.reset();
        EXPECT_EQ(read_file(data_dir() / L"wintun.dll"), "wintun one");
        EXPECT_EQ(status(), status_reply("running", std::nullopt));
    }

    EXPECT_EQ(exchange(stop_request("4")).bytes, reply_ok("4"));
    EXPECT_EQ(status(), status_reply("stopped", std::nullopt));
    EXPECT_EQ(exchange(stop_request("5")).bytes, reply_ok("5")) << "nothing to stop";
    // With no core running, a start replaces the copy that differs.
    EXPECT_EQ(exchange(start_request("6", "{}")).bytes, reply_ok("6"));
    EXPECT_EQ(read_file(data_dir() / L"wintun.dll"), "wintun two");
    EXPECT_EQ(exchange(stop_request("7")).bytes, reply_ok("7"));

    std::vector<std::string> core_lines;
    for (const std::string& line : log_messages(helper().log()))
        if (line.starts_with("core") || line.starts_with("ensure_wintun")) core_lines.push_back(line);
    EXPECT_EQ(core_lines, (std::vector<std::string>{"core thread: clash_start", "core running",
                                                    "core thread: exited (stop requested)", "core stopped",
                                                    "ensure_wintun: replaced a copy that differed from the installed one",
                                                    "core thread: clash_start", "core running",
                                                    "core thread: exited (stop requested)", "core stopped"}));
    EXPECT_TRUE(names_ending_in(data_dir(), L".tmp").empty());
}

TEST_F(CoreEndToEnd, CtrlCStopsTheCoreThroughTheControllerAndExitsZero) {
    ASSERT_TRUE(helper().place_fake_core());
    // A console of its own, so that Ctrl+C reaches the helper and not this program.
    ASSERT_TRUE(helper().start_console(CREATE_NEW_CONSOLE));
    ASSERT_EQ(exchange(start_request("1", "{\"mode\":\"run\"}")).bytes, reply_ok("1"));

    const ProgramOutcome sent = run_program(program_dir() / L"send-ctrl-c.exe",
                                            std::to_wstring(helper().process_id()), helper().folder());
    ASSERT_EQ(sent.exit_code, 0u) << "Ctrl+C could not be sent";
    const std::optional<DWORD> code = helper().wait_exit();
    ASSERT_TRUE(code) << helper().log();
    EXPECT_EQ(*code, 0u);

    std::vector<std::string> lines;
    for (const std::string& line : log_messages(helper().log()))
        if (line.starts_with("core") || line.starts_with("console mode ending")) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"core thread: clash_start", "core running",
                                               "console mode ending: Ctrl+C; stopping the core",
                                               "core thread: exited (stop requested)", "core stopped"}));
}

// HKLM\SOFTWARE\Velmor\Helper\ControlAccess while the object lives.
struct ControlAccessValue {
    static constexpr const wchar_t* KEY = L"SOFTWARE\\Velmor\\Helper";
    ~ControlAccessValue() { remove(); }
    bool set(const std::wstring& sddl) {
        return RegSetKeyValueW(HKEY_LOCAL_MACHINE, KEY, L"ControlAccess", REG_SZ, sddl.c_str(),
                               static_cast<DWORD>((sddl.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    void remove() { RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, KEY, L"ControlAccess"); }
};

TEST_F(CoreEndToEnd, ControlAccessPolicyDecidesWhoStartsAndStops) {
    ASSERT_TRUE(helper().place_fake_core());
    ASSERT_TRUE(helper().start_console());
    ControlAccessValue policy;
    if (!policy.set(L"D:(A;;GA;;;BU)")) GTEST_SKIP() << "HKLM cannot be written: run as administrator";
    const std::string process = " (process " + std::to_string(GetCurrentProcessId()) + ")";

    // The core's error (which may quote the configuration) only for clients
    // the policy lets start and stop; hidden too when it cannot be read.
    EXPECT_EQ(exchange(start_request("0", R"({"mode":"error","text":"secret"})")).bytes, reply_error("0", "secret"));
    EXPECT_EQ(status(), status_reply("failed", "secret"));
    ASSERT_TRUE(policy.set(L"D:(A;;GA;;;SY)"));
    EXPECT_EQ(status(), status_reply("failed", "hidden by ControlAccess policy"));
    const DWORD number = 1;
    ASSERT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, ControlAccessValue::KEY, L"ControlAccess", REG_DWORD, &number,
                              sizeof number), ERROR_SUCCESS);
    EXPECT_EQ(status(), status_reply("failed", "hidden by ControlAccess policy"));
    ASSERT_TRUE(policy.set(L"D:(A;;GA;;;BU)"));

    // Granted to Users, which this test's user is a member of; every start
    // and stop that changes the core is logged with its client.
    EXPECT_EQ(exchange(start_request("1", "{}")).bytes, reply_ok("1"));
    EXPECT_EQ(status(), status_reply("running", std::nullopt));
    EXPECT_EQ(helper().log_count("access denied by ControlAccess policy"), 0u) << helper().log();
    EXPECT_EQ(helper().log_count("] start by "), 2u) << helper().log();
    EXPECT_EQ(helper().log_count(process + " failed: secret\n"), 1u) << helper().log();
    EXPECT_EQ(helper().log_count(process + ": core running\n"), 1u) << helper().log();

    // Other client lines use up a budget of their own, not the denials'.
    for (std::size_t i = 0; i <= CLIENT_LOG_BURST; ++i) EXPECT_EQ(exchange("not a request\n").bytes, "");

    const std::string denied = "access denied by ControlAccess policy";
    const std::string client = " to ";
    struct Case {
        const char* label;
        const wchar_t* sddl;
        std::string logged;  // after "access denied by ControlAccess policy: stop refused"
    };
    const Case cases[] = {
        {"SYSTEM only", L"D:(A;;GA;;;SY)", client},
        {"not a descriptor", L"Users may",
         ": HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess is not a valid security descriptor: "
         "ConvertStringSecurityDescriptorToSecurityDescriptorW failed: "},
        {"no DACL", L"O:SYG:SY", ": HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess is not a valid security descriptor: "
                                "it has no DACL, which would grant everyone\n"},
        {"SACL", L"D:(A;;GA;;;BU)S:(ML;;NW;;;HI)",
         ": HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess is not a valid security descriptor: "
         "it has a SACL, which the helper does not enforce\n"},
        {"specific right", L"D:(A;;FR;;;BU)",
         ": HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess is not a valid security descriptor: "
         "an allow entry grants start and stop through a specific right; grant them with GA, GW or GX\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ASSERT_TRUE(policy.set(c.sddl));
        const std::size_t lines = helper().log_count(denied);
        EXPECT_EQ(exchange(stop_request("2")).bytes, reply_error("2", denied));
        // Refused before the state is looked at: not "core already running".
        EXPECT_EQ(exchange(start_request("3", "{}")).bytes, reply_error("3", denied));
        EXPECT_EQ(status(), status_reply("running", std::nullopt));
        EXPECT_EQ(exchange(request("7", "ping")).bytes, ping_reply("7"));
        EXPECT_EQ(helper().log_count(denied), lines + 2) << helper().log();
        EXPECT_EQ(helper().log_count("] " + denied + ": stop refused" + c.logged), 1u) << helper().log();
        EXPECT_EQ(helper().log_count("] " + denied + ": start refused" + c.logged), 1u) << helper().log();
        if (c.logged == client) {
            EXPECT_EQ(helper().log_count(process + "\n"), 2u) << helper().log();
        }
    }

    // A policy that grants, in a key that fails its check: not used, and the refusal says why.
    ASSERT_TRUE(policy.set(L"D:(A;;GA;;;BU)"));
    HKEY raw = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, ControlAccessValue::KEY, 0, WRITE_DAC | WRITE_OWNER, &raw), 0);
    const unique_hkey key(raw);
    PSECURITY_DESCRIPTOR unsafe = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:(A;;KA;;;BA)(A;;KW;;;BU)", 1, &unsafe, nullptr));
    const unique_hlocal owned(unsafe);
    ASSERT_EQ(RegSetKeySecurity(key.get(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, unsafe), ERROR_SUCCESS);
    EXPECT_EQ(exchange(stop_request("5")).bytes, reply_error("5", denied));
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, ControlAccessValue::KEY), ERROR_SUCCESS);  // made anew with a value
    EXPECT_EQ(helper().log_count("] " + denied + ": stop refused: cannot read HKLM\\SOFTWARE\\Velmor\\Helper\\ControlAccess: "
                                 "HKLM\\SOFTWARE\\Velmor\\Helper is not safe: BUILTIN\\Users may change it\n"), 1u)
        << helper().log();

    // Without the value, everyone who may open the pipe may stop again.
    policy.remove();
    EXPECT_EQ(exchange(stop_request("4")).bytes, reply_ok("4"));
    EXPECT_EQ(status(), status_reply("stopped", std::nullopt));
    EXPECT_EQ(helper().log_count(process + ": core stopped\n"), 1u) << helper().log();
}

// Who may do what on what the running helper made, read from the live
// descriptors: Wine keeps a pipe's descriptor but enforces none, and keeps
// none on files, so the folders are checked only where they are kept.
TEST_F(CoreEndToEnd, LiveDescriptorsLetUsersReadAndWriteThePipeAndNothingMore) {
    ASSERT_TRUE(helper().place_fake_core());
    // A first run makes the log; filled to its cap, the second run rotates
    // it to .log.1 and makes a new one.
    ASSERT_TRUE(helper().start_console());
    helper().kill();
    std::ofstream(helper().log_path(), std::ios::binary | std::ios::app) << std::string(LOG_SIZE_CAP, 'f') << "\n";
    ASSERT_TRUE(helper().start());
    EXPECT_EQ(exchange(start_request("1", "{}")).bytes, reply_ok("1"));
    const std::filesystem::path old_log = helper().folder() / L"velmor-helper.log.1";
    ASSERT_TRUE(std::filesystem::exists(old_log));
    const unique_handle tokens[] = {access::identification_token(false), access::identification_token(true)};
    ASSERT_TRUE(tokens[0] && tokens[1]) << GetLastError();

    const auto open = [](const std::filesystem::path& path) {
        return adopt_file_handle(CreateFileW(path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    };
    enum Object { PIPE, VELMOR, SERVICE, LOG, OLD_LOG };
    const char* const names[] = {"pipe", "Velmor", "service", "log", "log.1"};
    const unique_handle objects[] = {open(HELPER_PIPE), open(data_dir().parent_path()), open(data_dir()),
                                     open(helper().log_path()), open(old_log)};
    const bool descriptor_kept[] = {true, !under_wine(), !under_wine(), !under_wine(), !under_wine()};
    // An elevated administrator is granted every row.
    struct Row {
        Object object;
        ACCESS_MASK access;
        bool standard_user;
    };
    const Row rows[] = {
        {PIPE, GENERIC_READ | GENERIC_WRITE, true},    {PIPE, FILE_GENERIC_READ | FILE_WRITE_DATA, true},
        {PIPE, WRITE_DAC, false},                      {PIPE, WRITE_OWNER, false},
        {PIPE, DELETE, false},                         {PIPE, GENERIC_ALL, false},
        {VELMOR, GENERIC_READ, true},                  {VELMOR, FILE_ADD_SUBDIRECTORY, false},
        {VELMOR, WRITE_DAC, false},                    {SERVICE, GENERIC_READ, true},
        {SERVICE, FILE_ADD_FILE, false},               {SERVICE, WRITE_DAC, false},
        {SERVICE, WRITE_OWNER, false},                 {SERVICE, DELETE, false},
        {LOG, FILE_READ_DATA, false},                  {LOG, FILE_APPEND_DATA, false},
        {LOG, WRITE_DAC, false},                       {OLD_LOG, FILE_READ_DATA, false},
        {OLD_LOG, DELETE, false},
    };
    int checked = 0;
    for (const Row& row : rows) {
        if (!descriptor_kept[row.object]) continue;
        ASSERT_TRUE(objects[row.object]) << names[row.object] << ": " << GetLastError();
        for (const bool standard : {false, true}) {
            char trace[96];
            std::snprintf(trace, sizeof trace, "%s access 0x%lx %s", names[row.object],
                          static_cast<unsigned long>(row.access), standard ? "standard user" : "administrator");
            SCOPED_TRACE(trace);
            const Result<bool> granted = access::granted(tokens[standard].get(), objects[row.object].get(), row.access);
            ASSERT_TRUE(granted) << granted.error().full_description();
            EXPECT_EQ(*granted, !standard || row.standard_user);
            ++checked;
        }
    }
    EXPECT_GT(checked, 0);
    if (under_wine()) std::printf("folder and log rows not checked: Wine keeps no descriptor on files\n");
    EXPECT_EQ(exchange(stop_request("2")).bytes, reply_ok("2"));
}

TEST_F(CoreEndToEnd, MachineLockHeldByAnotherProcessRefusesTheStart) {
    ASSERT_TRUE(helper().place_fake_core());
    ASSERT_TRUE(helper().start_console());
    // This test program is the other process.
    const unique_handle mutex(CreateMutexW(nullptr, FALSE, L"Global\\Velmor.Core.Active.v1"));
    ASSERT_TRUE(mutex);
    const DWORD waited = WaitForSingleObject(mutex.get(), 0);
    ASSERT_TRUE(waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) << waited;

    const std::string busy = "another Velmor core is already active on this machine";
    EXPECT_EQ(exchange(start_request("1", "{}")).bytes, reply_error("1", busy));
    EXPECT_EQ(status(), status_reply("failed", busy));
    EXPECT_FALSE(std::filesystem::exists(data_dir() / L"fake-core-args.txt")) << "the core library was not called";
    EXPECT_EQ(helper().log_count("core thread: machine lock busy \xE2\x80\x94 refusing double-start"), 1u);
    ReleaseMutex(mutex.get());

    // Once the lock is free again the next start runs.
    EXPECT_EQ(exchange(start_request("2", "{}")).bytes, reply_ok("2"));
    EXPECT_EQ(exchange(stop_request("3")).bytes, reply_ok("3"));
}

TEST_F(CoreEndToEnd, MissingCoreLibraryLeavesTheRecordUnchanged) {
    write_file(helper().folder() / L"wintun.dll", "wintun");
    ASSERT_TRUE(helper().start_console());
    EXPECT_EQ(exchange(start_request("1", "{}")).bytes, reply_error("1", "load core library"));
    EXPECT_EQ(status(), status_reply("stopped", std::nullopt));
    // The preparation steps before the load still ran; the log folder did not.
    EXPECT_EQ(read_file(data_dir() / L"wintun.dll"), "wintun");
    EXPECT_FALSE(std::filesystem::exists(data_dir() / L"log"));

    // The next start tries to load again.
    ASSERT_TRUE(helper().place_fake_core());
    EXPECT_EQ(exchange(start_request("2", "{}")).bytes, reply_ok("2"));
    EXPECT_EQ(exchange(stop_request("3")).bytes, reply_ok("3"));
}

TEST_F(CoreEndToEnd, ConfigurationChecks) {
    ASSERT_TRUE(helper().place_fake_core());
    ASSERT_TRUE(helper().start_console());
    {
        SCOPED_TRACE("a raw NUL character");
        EXPECT_EQ(exchange(start_request("1", std::string("{\"a\":\"\0\"}", 9))).bytes,
                  reply_error("1", "config is not valid JSON"));
    }
    {
        SCOPED_TRACE("one byte too many");
        const std::string too_large(MAX_CONFIG + 1, 'x');  // not JSON either
        EXPECT_EQ(exchange(start_request("2", too_large)).bytes, reply_error("2", "config too large (4194305 bytes)"));
    }
    EXPECT_EQ(status(), status_reply("stopped", std::nullopt));
    {
        SCOPED_TRACE("exactly the largest size");
        std::string config = "{\"mode\":\"run\",\"pad\":\"";
        config += std::string(MAX_CONFIG - config.size() - 2, 'x');
        config += "\"}";
        ASSERT_EQ(config.size(), MAX_CONFIG);
        EXPECT_EQ(exchange(start_request("3", config)).bytes, reply_ok("3"));
        EXPECT_EQ(read_file(data_dir() / L"fake-core-config.txt").size(), MAX_CONFIG);
        EXPECT_EQ(exchange(stop_request("4")).bytes, reply_ok("4"));
    }
}

TEST_F(CoreEndToEnd, LockLeftByAKilledHelperIsTakenOver) {
    ASSERT_TRUE(helper().place_fake_core());
    ASSERT_TRUE(helper().start_console());
    EXPECT_EQ(exchange(start_request("1", "{}")).bytes, reply_ok("1"));
    // Killed while its core thread owns the machine lock: the lock is
    // abandoned, which the next owner takes as its own.
    helper().kill();

    HelperProcess second(helper().folder() / L"second");
    ASSERT_TRUE(second.place_fake_core());
    ASSERT_TRUE(second.start_console());
    EXPECT_EQ(exchange(start_request("2", "{}")).bytes, reply_ok("2"));
    EXPECT_EQ(exchange(stop_request("3")).bytes, reply_ok("3"));
}

TEST_F(CoreEndToEnd, DemoCoreRunsUntilStopped) {
    std::error_code ec;
    std::filesystem::copy_file(program_dir() / L"demo-core" / L"clash_ffi.dll", helper().folder() / L"clash_ffi.dll",
                               std::filesystem::copy_options::overwrite_existing, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_TRUE(helper().start_console());
    EXPECT_EQ(exchange(start_request("1", R"({"mixed-port": 7890})")).bytes, reply_ok("1"));
    const std::filesystem::path core_log = data_dir() / L"log" / L"clash.log";
    EXPECT_TRUE(wait_until([&] { return read_file(core_log).find("demo core: tick 2\n") != std::string::npos; }))
        << read_file(core_log);
    EXPECT_EQ(exchange(stop_request("2")).bytes, reply_ok("2"));
    EXPECT_NE(read_file(core_log).find("demo core: stopped\n"), std::string::npos);
    EXPECT_EQ(status(), status_reply("stopped", std::nullopt));
}

using links::is_link;
using links::make_folder_link;
using links::remove_folder_link;

TEST_F(CoreEndToEnd, LinkInPlaceOfTheServiceFolderIsNeverFollowed) {
    ASSERT_TRUE(helper().place_fake_core());
    write_file(helper().folder() / L"wintun.dll", "wintun");
    const std::filesystem::path target = helper().folder() / L"elsewhere";
    std::filesystem::create_directories(target);
    write_file(target / L"theirs.txt", "theirs");
    std::filesystem::create_directories(data_dir().parent_path());
    if (const std::optional<std::string> why_not = make_folder_link(data_dir(), target)) GTEST_SKIP() << *why_not;
    // Gone before anything clears the test's folder, which would follow it;
    // set aside, the link has another name.
    const struct LinkCleanup {
        std::filesystem::path folder;
        ~LinkCleanup() {
            std::error_code ec;
            for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) remove_folder_link(entry.path());
        }
    } cleanup{data_dir().parent_path()};
    ASSERT_TRUE(helper().start_console());

    const std::string reply = exchange(start_request("1", "{}")).bytes;
    const auto target_untouched = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(target)) names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, std::vector<std::string>{"theirs.txt"}) << "nothing written where the link pointed";
        EXPECT_EQ(read_file(target / L"theirs.txt"), "theirs");
    };
    const std::string shown = narrow(data_dir().native());
    if (under_wine()) {
        // Wine opens what a link points to even with FILE_FLAG_OPEN_REPARSE_POINT,
        // so the helper cannot set the link aside without following it; it
        // refuses the start instead of letting the core work through it.
        const std::string refusal =
            "data folder is not safe: " + shown + ": the system opened what the link points to, not the link";
        EXPECT_EQ(reply, reply_error("1", refusal));
        target_untouched();
        // Once when the helper started, once for the start.
        EXPECT_EQ(helper().log_count("] " + refusal + "\n"), 2u) << helper().log();
        EXPECT_EQ(status(), status_reply("stopped", std::nullopt));
        GTEST_SKIP() << "Wine cannot open a link as itself: the start was refused, the link and its target left as "
                        "they were";
    }
    EXPECT_EQ(reply, reply_ok("1"));
    target_untouched();
    // Set aside when the helper started; the start found the new folder.
    EXPECT_EQ(helper().log_count("] data folder: set aside " + shown + " as " + shown + ".untrusted-"), 1u)
        << helper().log();
    const DWORD attributes = GetFileAttributesW(data_dir().c_str());
    EXPECT_EQ(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_EQ(read_file(data_dir() / L"wintun.dll"), "wintun");
    EXPECT_TRUE(std::filesystem::is_directory(data_dir() / L"log"));
    EXPECT_EQ(exchange(stop_request("2")).bytes, reply_ok("2"));
}

TEST_F(CoreEndToEnd, ALinkInTheProgramPathRefusesTheStartBeforeTheLoad) {
    const std::filesystem::path base = helper().folder();
    helper_.reset();
    const std::filesystem::path real = base / L"real";
    const std::filesystem::path link = base / L"link";
    std::filesystem::create_directories(real);
    if (const std::optional<std::string> why_not = make_folder_link(link, real)) GTEST_SKIP() << *why_not;
    const struct LinkCleanup {
        std::filesystem::path link;
        ~LinkCleanup() { remove_folder_link(link); }
    } cleanup{link};
    // Run from the path through the link; the data folder lies elsewhere.
    helper_.emplace(link);
    helper().set_env(L"ProgramData", (base / L"ProgramData").native());
    ASSERT_TRUE(helper().place_fake_core());
    write_file(link / L"wintun.dll", "wintun");
    ASSERT_TRUE(helper().start_console());

    const std::string refusal = "core library is not safe: " + narrow(link.native()) + ": it is a link or junction";
    EXPECT_EQ(exchange(start_request("1", "{}")).bytes, reply_error("1", refusal));
    EXPECT_EQ(helper().log_count("] " + refusal + "\n"), 1u) << helper().log();
    EXPECT_TRUE(helper().wait_for_log("] program folder is not safe: " + narrow(link.native()) + ": it is a link or junction\n"))
        << "reported at start";
    EXPECT_EQ(status(), status_reply("stopped", std::nullopt));
    const std::filesystem::path data = base / L"ProgramData" / L"Velmor" / L"service";
    EXPECT_FALSE(std::filesystem::exists(data / L"wintun.dll")) << "nothing copied from behind the link";
    EXPECT_FALSE(std::filesystem::exists(data / L"fake-core-args.txt")) << "the core was never called";
    helper_.reset();
}

}  // namespace
}  // namespace velmor::e2e
