// The administrators' package and the version resources: the MSI installed,
// upgraded and removed silently through Windows Installer, and the resources
// of the built executables read back.
//
// Needs administrator rights on Windows; run by run-service-tests under Wine.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/names.hpp"
#include "base/win.hpp"
// After <windows.h>:
#include <msi.h>
#include <winver.h>

#include "env/event_log.hpp"
#include "harness.hpp"
#include "service/install.hpp"
#include "service_scm.hpp"
#include "support/folder_links_win32.hpp"

namespace velmor::e2e {
namespace {

// Where the package puts its files: the 64-bit Program Files, then Velmor.
std::filesystem::path install_folder() { return std::filesystem::path(_wgetenv(L"ProgramW6432")) / L"Velmor"; }

// The product codes of every installed version of the package.
std::vector<std::wstring> installed_products() {
    const std::wstring upgrade_code = widen(VELMOR_MSI_UPGRADE_CODE);
    std::vector<std::wstring> codes;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(upgrade_code.c_str(), 0, i, code) == ERROR_SUCCESS; ++i)
        codes.emplace_back(code);
    return codes;
}

// msiexec without any interface: `action` is "/i" with a package, or "/x"
// with a product code, and `properties` (already quoted) after it. Its log
// goes to `log`.
ProgramOutcome msiexec(const std::wstring& action, const std::wstring& target, const std::filesystem::path& log,
                       const std::wstring& properties = L"") {
    const std::filesystem::path exe = std::filesystem::path(_wgetenv(L"SystemRoot")) / L"System32" / L"msiexec.exe";
    return run_program(exe, action + L" \"" + target + L"\" /qn /l*v \"" + log.native() + L"\" " + properties,
                       log.parent_path(), 5min);
}

std::optional<std::wstring> control_access() {
    return query_machine_value(L"SOFTWARE\\Velmor\\Helper", L"ControlAccess", RRF_RT_REG_SZ);
}

std::optional<std::wstring> unsafe_folder_allowance() {
    return query_machine_value(L"SOFTWARE\\Velmor\\Helper", L"AllowUnsafeFolder", RRF_RT_REG_DWORD);
}

// The event log of our own and its source, as install and the package
// register them: the log's descriptor, its file, the source's message file
// (none when absent); and whether the Application log still has the source.
struct EventLogRegistration {
    std::optional<std::wstring> descriptor, file, message_file;
    bool in_application_log = false;
    bool operator==(const EventLogRegistration&) const = default;
};

EventLogRegistration event_log_registration() {
    return {query_machine_value(EVENT_LOG_KEY, L"CustomSD", RRF_RT_REG_SZ),
            query_machine_value(EVENT_LOG_KEY, L"File", RRF_RT_REG_EXPAND_SZ),
            query_machine_value(EVENT_SOURCE_KEY, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ),
            query_machine_value(OLD_EVENT_SOURCE_KEY, L"TypesSupported", RRF_RT_REG_DWORD).has_value()};
}

bool event_log_key_exists() {
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, EVENT_LOG_KEY, 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
    RegCloseKey(raw);
    return true;
}

std::string version_field(const std::filesystem::path& exe, const std::wstring& name) {
    DWORD ignored = 0;
    std::vector<std::byte> data(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
    if (data.empty() || !GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) return {};
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(data.data(), key.c_str(), &value, &length) || length == 0) return {};
    return narrow(static_cast<const wchar_t*>(value));
}

class Package : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(open_manager()) << "the SCM cannot be opened with full access: run as administrator";
        scratch_ = test_folder();
        TearDown();
        // Kept by every uninstall; each test reads only its own lines.
        std::error_code ec;
        std::filesystem::remove(install_folder() / L"velmor-helper.log", ec);
    }

    // Removes whatever a test or a crashed run left installed.
    void TearDown() override {
        for (const std::wstring& code : installed_products()) msiexec(L"/x", code, scratch_ / L"msi-cleanup.log");
        remove_registration();
        // Wine's msiexec leaves a policy the package wrote (see below).
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmor\\Helper", L"ControlAccess");
        // Read back by the next package (and by the other service tests' helpers).
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Velmor\\Helper", L"AllowUnsafeFolder");
    }

    // What "velmor-helper.exe install" registers, from a copy that is then
    // uninstalled again.
    std::optional<ServiceConfig> registration_by_install_command() {
        const std::filesystem::path helper = scratch_ / L"velmor-helper.exe";
        if (!CopyFileW((program_dir() / L"velmor-helper.exe").c_str(), helper.c_str(), FALSE)) return std::nullopt;
        // A source that an earlier version registered in the Application log.
        HKEY old = nullptr;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, OLD_EVENT_SOURCE_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &old,
                                  nullptr),
                  ERROR_SUCCESS);
        const DWORD types = 7;
        RegSetValueExW(old, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
        RegCloseKey(old);
        EXPECT_EQ(run_program(helper, L"install", scratch_).exit_code, 0u);
        auto config = query_config();
        install_command_events_ = event_log_registration();
        EXPECT_EQ(install_command_events_.message_file, helper.native());
        const ProgramOutcome removed = run_program(helper, L"uninstall", scratch_);
        EXPECT_EQ(removed.exit_code, 0u) << removed.err;
        EXPECT_TRUE(wait_until([] { return !is_registered(); })) << "the registration did not go: " << removed.err;
        EXPECT_FALSE(event_log_key_exists()) << "uninstall left the event log's registration";
        return config;
    }

    void install_and_expect_pong(const char* package, const wchar_t* log_name, const std::wstring& properties = L"") {
        const std::filesystem::path msi = std::filesystem::path(widen(package)).make_preferred();
        ASSERT_EQ(msiexec(L"/i", msi.native(), scratch_ / log_name, properties).exit_code, 0u)
            << "see " << narrow(log_name);
        ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the service does not run";
        expect_pong();
        const ProgramOutcome ctl = run_program(install_folder() / L"velmor-ctl.exe", L"ping", scratch_);
        EXPECT_NE(ctl.out.find(R"("pong":true)"), std::string::npos) << ctl.out << ctl.err;
    }

    std::filesystem::path scratch_;
    EventLogRegistration install_command_events_;
};

TEST_F(Package, InstallsTheServiceAsTheInstallCommandDoesUpgradesAndUninstalls) {
    const auto expected = registration_by_install_command();
    ASSERT_TRUE(expected.has_value());

    // The package makes only the data folder's parent: the service makes the
    // data folder when it starts, before any start request. Wine's services see ProgramData as
    // C:\users\Public; only there is the folder removed first.
    const std::filesystem::path data_folder =
        under_wine() ? std::filesystem::path(L"C:\\users\\Public\\Velmor")
                     : std::filesystem::path(_wgetenv(L"ProgramData")) / L"Velmor";
    std::error_code ec;
    if (under_wine()) std::filesystem::remove_all(data_folder, ec);
    ASSERT_NO_FATAL_FAILURE(install_and_expect_pong(VELMOR_MSI_PATH, L"msi-install.log"));
    EXPECT_TRUE(std::filesystem::is_directory(data_folder / L"service"));
    const auto config = query_config();
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->type, expected->type);
    EXPECT_EQ(config->start_type, expected->start_type);
    EXPECT_EQ(config->error_control, expected->error_control);
    EXPECT_EQ(config->account, expected->account);
    EXPECT_EQ(config->display_name, expected->display_name);
    EXPECT_EQ(config->group, expected->group);
    EXPECT_EQ(config->dependencies, expected->dependencies);
    EXPECT_EQ(narrow(config->description), "Runs the Velmor proxy core on behalf of the Velmor client.");
    if (!expected->description.empty()) {
        EXPECT_EQ(config->description, expected->description);
    }
    // Windows Installer quotes the path as install does; Wine's writes it bare.
    const std::wstring path = (install_folder() / L"velmor-helper.exe").native();
    EXPECT_EQ(narrow(config->binary_path), narrow(under_wine() ? path : L"\"" + path + L"\""));
    EXPECT_EQ(version_field(path, L"ProductVersion"), VELMOR_VERSION);
    EXPECT_EQ(query_machine_value(EVENT_SOURCE_KEY, L"EventMessageFile", RRF_RT_REG_EXPAND_SZ), path);
    EXPECT_EQ(query_machine_value(EVENT_SOURCE_KEY, L"TypesSupported", RRF_RT_REG_DWORD), L"7");
    // The event log of our own, as install registers it (but for the
    // executable's path): only SYSTEM and the Administrators may write.
    EventLogRegistration events = event_log_registration();
    EXPECT_EQ(events.descriptor, std::wstring(EVENT_LOG_DESCRIPTOR));
    EXPECT_EQ(events.file, L"%SystemRoot%\\System32\\Winevt\\Logs\\Velmor.evtx");
    EXPECT_FALSE(events.in_application_log);
    events.message_file = install_command_events_.message_file;
    EXPECT_EQ(events, install_command_events_);
    // Without CONTROLACCESS no policy: an empty one would refuse everyone.
    EXPECT_FALSE(control_access().has_value());
    // The package has no table for recovery actions: the service sets them
    // itself when it starts. Wine keeps none, and the service says so once.
    const std::string log = read_file(install_folder() / L"velmor-helper.log");
    // velmor-ctl finds the service's log through its registration (quoted
    // by Windows Installer, bare under Wine, a blank in the path either way).
    const ProgramOutcome shown = run_program(install_folder() / L"velmor-ctl.exe", L"log", scratch_);
    EXPECT_EQ(shown.exit_code, 0u) << shown.err;
    EXPECT_NE(shown.out.find("Z] service started: version " VELMOR_VERSION), std::string::npos) << shown.out;
    const std::size_t not_set = log.find("] service: recovery actions not set: ");
    if (under_wine()) {
        EXPECT_NE(not_set, std::string::npos) << log;
        EXPECT_EQ(log.find("] service: recovery actions not set: ", not_set + 1), std::string::npos) << log;
    } else {
        EXPECT_EQ(not_set, std::string::npos) << log;
        const unique_schandle manager = open_manager();
        const unique_schandle service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_QUERY_CONFIG));
        alignas(SERVICE_FAILURE_ACTIONSW) BYTE buffer[512];
        DWORD needed = 0;
        ASSERT_TRUE(
            QueryServiceConfig2W(service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer, &needed));
        const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer);
        EXPECT_EQ(failure->dwResetPeriod, 86400u);
        ASSERT_EQ(failure->cActions, 3u);
        EXPECT_EQ(failure->lpsaActions[0].Delay, 5000u);
        EXPECT_EQ(failure->lpsaActions[2].Delay, 60000u);
    }

    // A newer package replaces the installed one and starts a new service process.
    const std::vector<std::wstring> before = installed_products();
    const auto first = query_status();
    ASSERT_TRUE(first.has_value());
    ASSERT_NO_FATAL_FAILURE(
        install_and_expect_pong(VELMOR_MSI_NEXT_PATH, L"msi-upgrade.log", L"CONTROLACCESS=\"D:(A;;GA;;;BA)\""));
    EXPECT_EQ(control_access(), L"D:(A;;GA;;;BA)");
    const std::vector<std::wstring> after = installed_products();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NE(after, before) << "the older version was not replaced";
    const auto second = query_status();
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(second->dwProcessId, first->dwProcessId) << "the service was not restarted";

    // The older package is refused and changes nothing.
    const std::filesystem::path older = std::filesystem::path(widen(VELMOR_MSI_PATH)).make_preferred();
    EXPECT_EQ(msiexec(L"/i", older.native(), scratch_ / L"msi-downgrade.log").exit_code,
              static_cast<DWORD>(ERROR_INSTALL_FAILURE));
    EXPECT_EQ(installed_products(), after);
    expect_pong();

    ASSERT_EQ(msiexec(L"/x", after[0], scratch_ / L"msi-uninstall.log").exit_code, 0u) << "see msi-uninstall.log";
    EXPECT_TRUE(installed_products().empty());
    EXPECT_TRUE(wait_until([] { return !is_registered(); })) << "the registration did not go";
    EXPECT_FALSE(query_machine_value(EVENT_SOURCE_KEY, L"TypesSupported", RRF_RT_REG_DWORD)) << "the source stayed";
    EXPECT_FALSE(event_log_key_exists()) << "the event log's registration stayed";
    // Windows Installer removes the policy it wrote; Wine's msiexec
    // evaluates the component's condition again at uninstall and keeps it.
    if (!under_wine()) {
        EXPECT_FALSE(control_access().has_value());
    }
    // Only the service's own log may stay, for support to read.
    for (const auto& entry : std::filesystem::directory_iterator(install_folder(), ec))
        EXPECT_EQ(entry.path().filename().native(), L"velmor-helper.log") << entry.path().string();
}

TEST_F(Package, UninstallWithACoreRunningStopsTheCoreFirst) {
    ASSERT_NO_FATAL_FAILURE(install_and_expect_pong(VELMOR_MSI_PATH, L"msi-install.log"));
    // Where the client's installer puts the core library.
    const std::filesystem::path core_library = install_folder() / L"clash_ffi.dll";
    ASSERT_TRUE(CopyFileW((program_dir() / L"fake-core" / L"clash_ffi.dll").c_str(), core_library.c_str(), FALSE))
        << GetLastError();
    const std::string started = pipe_exchange(R"({"id":"s","action":"start","config":"{\"mode\":\"run\"}"})");
    ASSERT_NE(started.find(R"("ok":true)"), std::string::npos) << started;

    const std::vector<std::wstring> products = installed_products();
    ASSERT_EQ(products.size(), 1u);
    ASSERT_EQ(msiexec(L"/x", products[0], scratch_ / L"msi-uninstall.log").exit_code, 0u) << "see msi-uninstall.log";
    EXPECT_TRUE(wait_until([] { return !is_registered(); })) << "the registration did not go";
    // Windows Installer waits for the service to stop (Wait="yes"); Wine's
    // msiexec does not, so the log is waited for. A service killed mid-stop
    // never writes the line.
    const std::filesystem::path log = install_folder() / L"velmor-helper.log";
    EXPECT_TRUE(wait_until([&] { return read_file(log).find("core stopped\n") != std::string::npos; }))
        << read_file(log);
    EXPECT_TRUE(wait_until([&] { return DeleteFileW(core_library.c_str()) != FALSE; })) << GetLastError();
}

// The package checks the program folder before it copies anything and, as
// install does, once its files are in place: a folder that fails either check
// fails the install, which rolls back; with ALLOWUNSAFEFOLDER=1 a folder that
// others may change installs and the allowance is recorded as install does
// (REG_DWORD 1), but a link planted inside the folder still fails it, before
// any file is copied. Wine keeps no DACL, so the folder fails as a link; the
// protected DACL itself is in the package's tables (tests/package).
TEST_F(Package, AProgramFolderThatFailsTheInstallCheckFailsThePackage) {
    const std::filesystem::path msi = std::filesystem::path(widen(VELMOR_MSI_PATH)).make_preferred();
    struct Case {
        const wchar_t* name;
        const wchar_t* properties;
        bool planted;  // INSTALLDIR a folder with a link inside, not a link
        DWORD exit_code;
        std::optional<std::wstring> allowance;  // AllowUnsafeFolder afterwards
    };
    // Windows Installer reports a failed custom action as 1603; Wine's as 1627.
    const auto refused = static_cast<DWORD>(under_wine() ? ERROR_FUNCTION_FAILED : ERROR_INSTALL_FAILURE);
    const Case cases[] = {
        {L"refused", L"", false, refused, std::nullopt},
        {L"allowed", L"ALLOWUNSAFEFOLDER=1", false, 0, L"1"},
        {L"planted", L"ALLOWUNSAFEFOLDER=1", true, refused, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        // A folder and a link of each case's own: Wine's rollback removes the
        // folder through the link.
        const std::filesystem::path target = scratch_ / (std::wstring(L"target-") + c.name);
        const std::filesystem::path link = (c.planted ? target : scratch_) / (std::wstring(L"linked-") + c.name);
        std::filesystem::create_directories(target);
        if (const std::optional<std::string> why_not = links::make_folder_link(link, c.planted ? scratch_ : target))
            GTEST_SKIP() << *why_not;
        const std::filesystem::path folder = c.planted ? target : link;
        const std::filesystem::path log = scratch_ / (std::wstring(L"msi-") + c.name + L".log");
        const std::wstring properties = L"INSTALLDIR=\"" + folder.native() + L"\" " + c.properties;
        EXPECT_EQ(msiexec(L"/i", msi.native(), log, properties).exit_code, c.exit_code) << "see " << log.string();
        EXPECT_EQ(unsafe_folder_allowance(), c.allowance);
        EXPECT_EQ(installed_products().size(), c.exit_code == 0 ? 1u : 0u);
        EXPECT_EQ(is_registered(), c.exit_code == 0);
        EXPECT_EQ(std::filesystem::exists(folder / L"velmor-helper.exe"), c.exit_code == 0);
        for (const std::wstring& code : installed_products()) msiexec(L"/x", code, scratch_ / L"msi-x.log");
        links::remove_folder_link(link);
    }
}

// CONTROLACCESS and ALLOWUNSAFEFOLDER given at install stay through a repair
// and an upgrade that do not give them again: leaving a property out never
// drops a policy.
TEST_F(Package, ARepairOrAnUpgradeKeepsThePropertiesGivenAtInstall) {
    ASSERT_NO_FATAL_FAILURE(install_and_expect_pong(VELMOR_MSI_PATH, L"msi-install.log",
                                                    L"CONTROLACCESS=\"D:(A;;GA;;;BA)\" ALLOWUNSAFEFOLDER=1"));
    EXPECT_EQ(control_access(), L"D:(A;;GA;;;BA)");
    EXPECT_EQ(unsafe_folder_allowance(), L"1");
    const std::vector<std::wstring> products = installed_products();
    ASSERT_EQ(products.size(), 1u);
    struct Step {
        const wchar_t* name;
        std::filesystem::path package;
        const wchar_t* properties;
    };
    const Step steps[] = {
        {L"repair", std::filesystem::path(widen(VELMOR_MSI_PATH)).make_preferred(), L"REINSTALL=ALL REINSTALLMODE=omus"},
        {L"upgrade", std::filesystem::path(widen(VELMOR_MSI_NEXT_PATH)).make_preferred(), L""},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(narrow(step.name));
        const std::filesystem::path log = scratch_ / (std::wstring(L"msi-") + step.name + L".log");
        ASSERT_EQ(msiexec(L"/i", step.package.native(), log, step.properties).exit_code, 0u) << "see " << log.string();
        EXPECT_EQ(control_access(), L"D:(A;;GA;;;BA)");
        EXPECT_EQ(unsafe_folder_allowance(), L"1");
        EXPECT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the service does not run";
    }
}

TEST(VersionResources, BothExecutablesCarryTheProjectVersionAndTheManifest) {
    const std::string licence = read_file(std::filesystem::path(VELMOR_SOURCE_DIR) / L"LICENSE");
    const std::size_t at = licence.find("\nCopyright ") + 1;
    const std::string copyright = licence.substr(at, licence.find('\n', at) - at);
    for (const std::string name : {"velmor-helper", "velmor-ctl"}) {
        SCOPED_TRACE(name);
        const std::filesystem::path exe = program_dir() / widen(name + ".exe");
        EXPECT_EQ(version_field(exe, L"FileVersion"), VELMOR_VERSION);
        EXPECT_EQ(version_field(exe, L"ProductVersion"), VELMOR_VERSION);
        EXPECT_EQ(version_field(exe, L"ProductName"), "Velmor");
        EXPECT_EQ(version_field(exe, L"CompanyName"), "Velmor");
        EXPECT_EQ(version_field(exe, L"OriginalFilename"), name + ".exe");
        EXPECT_EQ(version_field(exe, L"LegalCopyright"), copyright);

        // The manifest the process is created with.
        const unique_hmodule module(
            LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        const HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
        ASSERT_NE(found, nullptr);
        const std::string manifest(static_cast<const char*>(LockResource(LoadResource(module.get(), found))),
                                   SizeofResource(module.get(), found));
        EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
        EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
        if (name != "velmor-helper") continue;

        // Every event's text as Event Viewer formats it, with its insertion.
        for (DWORD id = static_cast<DWORD>(EventId::service_started);
             id <= static_cast<DWORD>(EventId::pipe_instance_lost); ++id) {
            SCOPED_TRACE(id);
            DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(L"inserted text")};
            wchar_t* text = nullptr;
            const DWORD length = FormatMessageW(
                FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                module.get(), id, 0, reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(inserts));
            const unique_hlocal owner(text);
            ASSERT_NE(length, 0u) << GetLastError();
            const std::string message = narrow(std::wstring_view(text, length));
            EXPECT_NE(message.find(".\r\ninserted text"), std::string::npos) << message;
        }
    }
}

}  // namespace
}  // namespace velmor::e2e
