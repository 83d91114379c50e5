// The administrators' package and the version resources: the MSI installed,
// upgraded and removed silently under the real Service Control Manager and
// Windows Installer, and the resources of the built executables read back.
//
// Needs administrator rights on Windows; run by run-service-tests under Wine.

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/win.hpp"
// After <windows.h>:
#include <msi.h>
#include <winver.h>

#include "harness.hpp"
#include "service_scm.hpp"

namespace velmor::e2e {
namespace {

const std::wstring UPGRADE_CODE = widen(VELMOR_MSI_UPGRADE_CODE);

std::filesystem::path system_folder() {
    wchar_t buffer[MAX_PATH];
    const UINT n = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::filesystem::path(std::wstring(buffer, n));
}

// Where the package puts its files: Program Files (the 64-bit one)\Velmor.
std::filesystem::path install_folder() {
    std::wstring buffer(MAX_PATH, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"ProgramW6432", buffer.data(), MAX_PATH);
    buffer.resize(n);
    return std::filesystem::path(buffer) / L"Velmor";
}

// The product codes of every installed version of the package.
std::vector<std::wstring> installed_products() {
    std::vector<std::wstring> codes;
    wchar_t code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsW(UPGRADE_CODE.c_str(), 0, i, code) == ERROR_SUCCESS; ++i)
        codes.emplace_back(code);
    return codes;
}

std::wstring product_version(const std::wstring& code) {
    wchar_t buffer[64];
    DWORD size = 64;
    if (MsiGetProductInfoW(code.c_str(), INSTALLPROPERTY_VERSIONSTRING, buffer, &size) != ERROR_SUCCESS) return {};
    return std::wstring(buffer, size);
}

// Runs msiexec silently with `action` ("/i" with a package, "/x" with a
// package or product code), logging to `log`.
ProgramOutcome msiexec(const std::wstring& action, const std::wstring& target, const std::filesystem::path& log) {
    const std::wstring arguments = action + L" \"" + target + L"\" /qn /l*v \"" + log.native() + L"\"";
    return run_program(system_folder() / L"msiexec.exe", arguments, log.parent_path(), 5min);
}

std::wstring file_version_string(const std::filesystem::path& exe, const std::wstring& name) {
    DWORD ignored = 0;
    std::vector<std::byte> data(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
    if (data.empty() || !GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(data.size()), data.data())) return {};
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = L"\\StringFileInfo\\040904B0\\" + name;
    if (!VerQueryValueW(data.data(), key.c_str(), &value, &length) || length == 0) return {};
    return std::wstring(static_cast<const wchar_t*>(value));
}

class Package : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(open_manager()) << "the SCM cannot be opened with full access: run as administrator";
        scratch_ = test_folder();
        remove_products();
        remove_registration();
    }

    void TearDown() override {
        remove_products();
        remove_registration();
    }

    // Uninstalls whatever version of the package a test or a crashed run left.
    void remove_products() {
        for (const std::wstring& code : installed_products()) msiexec(L"/x", code, scratch_ / L"msi-cleanup.log");
    }

    // The registration that "velmor-helper.exe install" makes, from a copy in
    // a folder of the same shape as the package's; deleted again.
    std::optional<ServiceConfig> registration_by_install_command() {
        const std::filesystem::path folder = scratch_ / L"Program Files" / L"Velmor";
        std::filesystem::create_directories(folder);
        const std::filesystem::path helper = folder / L"velmor-helper.exe";
        if (!CopyFileW((program_dir() / L"velmor-helper.exe").c_str(), helper.c_str(), FALSE)) return std::nullopt;
        const ProgramOutcome installed = run_program(helper, L"install", scratch_);
        EXPECT_EQ(installed.exit_code, 0u) << installed.err;
        auto config = query_config();
        const ProgramOutcome removed = run_program(helper, L"uninstall", scratch_);
        EXPECT_EQ(removed.exit_code, 0u) << removed.err;
        EXPECT_TRUE(wait_until([] { return !is_registered(); })) << "the registration did not go";
        // The same registration from the package's folder.
        if (config) {
            const std::size_t at = config->binary_path.find(folder.native());
            if (at == std::wstring::npos) ADD_FAILURE() << narrow(config->binary_path);
            else config->binary_path.replace(at, folder.native().size(), install_folder().native());
        }
        return config;
    }

    void install(const char* package_path, const wchar_t* log_name) {
        const std::filesystem::path package = std::filesystem::path(widen(package_path)).make_preferred();
        const ProgramOutcome outcome = msiexec(L"/i", package.native(), scratch_ / log_name);
        ASSERT_EQ(outcome.exit_code, 0u) << "msiexec /i " << package.string() << ": see " << log_name;
    }

    void expect_ctl_pong() {
        const ProgramOutcome ctl = run_program(install_folder() / L"velmor-ctl.exe", L"ping", scratch_);
        EXPECT_EQ(ctl.exit_code, 0u) << ctl.err;
        EXPECT_NE(ctl.out.find(R"("pong":true)"), std::string::npos) << ctl.out;
    }

    std::filesystem::path scratch_;
};

TEST_F(Package, InstallsTheServiceAsTheInstallCommandDoesUpgradesAndUninstalls) {
    const auto expected = registration_by_install_command();
    ASSERT_TRUE(expected.has_value());

    ASSERT_NO_FATAL_FAILURE(install(VELMOR_MSI_PATH, L"msi-install.log"));
    const auto config = query_config();
    ASSERT_TRUE(config.has_value()) << "the package registered no service";
    EXPECT_EQ(config->type, expected->type);
    EXPECT_EQ(config->start_type, expected->start_type);
    EXPECT_EQ(config->error_control, expected->error_control);
    EXPECT_EQ(config->account, expected->account);
    EXPECT_EQ(config->display_name, expected->display_name);
    EXPECT_EQ(config->group, expected->group);
    EXPECT_EQ(config->dependencies, expected->dependencies);
    // Both name the same executable; Windows Installer quotes the path, Wine's
    // writes it bare.
    const std::wstring bare = (install_folder() / L"velmor-helper.exe").native();
    EXPECT_EQ(narrow(config->binary_path), narrow(under_wine() ? bare : L"\"" + bare + L"\""));
    EXPECT_EQ(narrow(expected->binary_path), narrow(L"\"" + bare + L"\""));
    EXPECT_EQ(narrow(config->description), "Runs the Velmor proxy core on behalf of the Velmor client.");
    if (!expected->description.empty()) {
        EXPECT_EQ(config->description, expected->description);
    }

    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the package did not start the service";
    expect_pong();
    expect_ctl_pong();
    EXPECT_EQ(narrow(file_version_string(install_folder() / L"velmor-helper.exe", L"ProductVersion")), VELMOR_VERSION);
    const auto before = query_status();
    ASSERT_TRUE(before.has_value());

    // A newer package replaces the installed one and restarts the service.
    ASSERT_NO_FATAL_FAILURE(install(VELMOR_MSI_NEXT_PATH, L"msi-upgrade.log"));
    const std::vector<std::wstring> products = installed_products();
    ASSERT_EQ(products.size(), 1u) << "the older version was not removed";
    EXPECT_EQ(narrow(product_version(products[0])), VELMOR_NEXT_VERSION);
    ASSERT_TRUE(wait_until([] { return is_in_state(SERVICE_RUNNING); })) << "the service did not run after the upgrade";
    const auto after = query_status();
    ASSERT_TRUE(after.has_value());
    EXPECT_NE(after->dwProcessId, before->dwProcessId) << "the service was not restarted";
    expect_pong();
    expect_ctl_pong();

    const ProgramOutcome removed = msiexec(L"/x", products[0], scratch_ / L"msi-uninstall.log");
    ASSERT_EQ(removed.exit_code, 0u) << "msiexec /x: see msi-uninstall.log";
    EXPECT_TRUE(installed_products().empty());
    EXPECT_TRUE(wait_until([] { return !is_registered(); })) << "the registration did not go";
    EXPECT_TRUE(pipe_exchange(R"({"id":"x","action":"ping"})", 200ms).empty());
    // Only the service's own log may stay, for support to read.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(install_folder(), ec))
        EXPECT_EQ(entry.path().filename().native(), L"velmor-helper.log") << entry.path().string();
}

TEST(VersionResources, BothExecutablesCarryTheProjectVersionAndTheManifest) {
    std::string copyright;
    {
        const std::string licence = read_file(std::filesystem::path(VELMOR_SOURCE_DIR) / L"LICENSE");
        const std::size_t at = licence.find("\nCopyright ");
        ASSERT_NE(at, std::string::npos) << "LICENSE has no copyright line";
        copyright = licence.substr(at + 1, licence.find('\n', at + 1) - at - 1);
    }
    struct Case {
        const wchar_t* name;
        const char* description;
    };
    const Case cases[] = {{L"velmor-helper", "Velmor helper service"}, {L"velmor-ctl", "Velmor helper control client"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(narrow(c.name));
        const std::filesystem::path exe = program_dir() / (std::wstring(c.name) + L".exe");
        auto field = [&](const wchar_t* name) { return narrow(file_version_string(exe, name)); };
        EXPECT_EQ(field(L"FileVersion"), VELMOR_VERSION);
        EXPECT_EQ(field(L"ProductVersion"), VELMOR_VERSION);
        EXPECT_EQ(field(L"ProductName"), "Velmor");
        EXPECT_EQ(field(L"CompanyName"), "Velmor");
        EXPECT_EQ(field(L"FileDescription"), c.description);
        EXPECT_EQ(field(L"OriginalFilename"), narrow(c.name) + ".exe");
        EXPECT_EQ(field(L"LegalCopyright"), copyright);

        // The numeric version that installers compare.
        DWORD ignored = 0;
        std::vector<std::byte> data(GetFileVersionInfoSizeW(exe.c_str(), &ignored));
        ASSERT_FALSE(data.empty());
        ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
        void* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", &value, &length));
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        const std::string numeric = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                                    std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                                    std::to_string(LOWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(numeric, std::string(VELMOR_VERSION) + ".0");
        EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

        // Exactly one manifest, the one the process is created with.
        const unique_hmodule module(
            LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(module) << GetLastError();
        int manifests = 0;
        EnumResourceNamesW(
            module.get(), RT_MANIFEST,
            [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) -> BOOL {
                ++*reinterpret_cast<int*>(count);
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&manifests));
        EXPECT_EQ(manifests, 1);
        const HRSRC found = FindResourceW(module.get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
        ASSERT_NE(found, nullptr);
        const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module.get(), found)));
        const std::string manifest(bytes, SizeofResource(module.get(), found));
        EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
        EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
        EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
    }
}

}  // namespace
}  // namespace velmor::e2e
