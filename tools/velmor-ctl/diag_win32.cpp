// `diag FOLDER`'s collecting: each part read as the other commands and the
// helper read it (the service manager through service/scm, the settings
// through the helper's checked reads, the folders through check-folder's and
// the trust module's readers, the logs as `log --local` prints them), then
// written as diag.hpp decides. Read-only everywhere but in FOLDER.

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/sized_query.hpp"
#include "base/version.hpp"
#include "base/win.hpp"
#include "env/locations.hpp"
#include "env/settings.hpp"
#include "service/install.hpp"
#include "service/scm.hpp"
#include "trust/entry.hpp"
#include "velmor-ctl/check_folder_win32.hpp"
#include "velmor-ctl/diag.hpp"
#include "velmor-ctl/log_viewer.hpp"
#include "velmor-ctl/pipe_client.hpp"
#include "velmor-ctl/reply_text.hpp"

namespace velmor::ctl {
namespace {

constexpr int EXIT_WRITTEN = 0, EXIT_FOLDER_UNUSABLE = 1;
// How many of the newest records of each event log are read.
constexpr std::size_t EVENTS_READ = 500;

std::string version_of(const std::filesystem::path& image) {
    const std::string where = " (" + narrow(image.native()) + ")";
    if (GetFileAttributesW(image.c_str()) == INVALID_FILE_ATTRIBUTES)
        return last_call_error("GetFileAttributesW").one_line() + where;
    const std::optional<std::string> version = image_version(image.native());
    return (version ? *version : std::string("no version resource readable")) + where;
}

Result<std::string> versions() {
    std::vector<DiagField> fields;
    const Result<std::filesystem::path> here = exe_dir();
    fields.push_back({"velmor-ctl.exe", here ? Result<std::string>(std::string(VERSION) + " (" +
                                                                   narrow((*here / L"velmor-ctl.exe").native()) + ")")
                                            : fail(here.error())});
    fields.push_back({"velmor-helper.exe beside it", here ? Result<std::string>(version_of(*here / EXECUTABLE_NAME_WIDE))
                                                          : fail(here.error())});
    const Result<std::wstring> service = scm::service_image_path();
    fields.push_back({"the service's executable",
                      service ? Result<std::string>(version_of(*service)) : fail(service.error())});
    return fields_text(fields);
}

// A registry value as text: strings as they are, numbers in decimal.
Result<std::string> machine_value(const wchar_t* key, const wchar_t* name) {
    DWORD type = 0;
    const auto answer = query_sized(
        [&](void* data, DWORD& bytes) {
            return static_cast<DWORD>(RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                                                   data, &bytes));
        },
        DWORD{ERROR_MORE_DATA}, DWORD{256});
    if (answer.status == ERROR_FILE_NOT_FOUND) return std::string("not there");
    if (answer.status != ERROR_SUCCESS) return fail(call_error("RegGetValueW", answer.status));
    if (type == REG_DWORD && answer.bytes == sizeof(DWORD))
        return std::to_string(*static_cast<const DWORD*>(answer.data()));
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(static_cast<const wchar_t*>(answer.data()), answer.bytes / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        return narrow(text);
    }
    return "type " + std::to_string(type) + ", " + std::to_string(answer.bytes) + " bytes";
}

Result<std::string> registration() {
    std::string out;
    const Result<unique_schandle> manager = scm::open_manager(SC_MANAGER_CONNECT);
    const Result<unique_schandle> service =
        manager ? scm::open_service(manager->get(), SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                : fail(manager.error());
    if (!service) {
        out += "service: cannot be opened: " + service.error().one_line() + "\n";
    } else {
        const Result<scm::ServiceConfig> config = scm::query_config(service->get());
        const Result<SERVICE_STATUS_PROCESS> status = scm::query_status(service->get());
        std::vector<DiagField> fields;
        const auto field = [&](std::string name, auto value) {
            fields.push_back({std::move(name), config ? Result<std::string>(value(*config)) : fail(config.error())});
        };
        field("type", [](const scm::ServiceConfig& c) { return service_number_text(ServiceNumber::Type, c.type); });
        field("start type",
              [](const scm::ServiceConfig& c) { return service_number_text(ServiceNumber::StartType, c.start_type); });
        field("error control", [](const scm::ServiceConfig& c) {
            return service_number_text(ServiceNumber::ErrorControl, c.error_control);
        });
        field("binary path", [](const scm::ServiceConfig& c) { return narrow(c.binary_path); });
        field("account", [](const scm::ServiceConfig& c) { return narrow(c.account); });
        field("display name", [](const scm::ServiceConfig& c) { return narrow(c.display_name); });
        field("dependencies", [](const scm::ServiceConfig& c) {
            std::wstring list = c.dependencies;
            for (wchar_t& ch : list)
                if (ch == L'\0') ch = L' ';
            return list.empty() ? std::string("none") : narrow(list);
        });
        fields.push_back({"state", status ? Result<std::string>(service_number_text(ServiceNumber::State,
                                                                                    status->dwCurrentState) +
                                                                ", process " + std::to_string(status->dwProcessId))
                                          : fail(status.error())});
        out += fields_text(fields) + recovery_text(read_recovery(service->get()));
    }
    const std::vector<DiagField> keys = {
        {"event log CustomSD", machine_value(EVENT_LOG_KEY, L"CustomSD")},
        {"event log File", machine_value(EVENT_LOG_KEY, L"File")},
        {"event log MaxSize", machine_value(EVENT_LOG_KEY, L"MaxSize")},
        {"event source EventMessageFile", machine_value(EVENT_SOURCE_KEY, L"EventMessageFile")},
        {"event source TypesSupported", machine_value(EVENT_SOURCE_KEY, L"TypesSupported")},
        {"earlier event source EventMessageFile", machine_value(OLD_EVENT_SOURCE_KEY, L"EventMessageFile")},
    };
    return out + fields_text(keys);
}

Result<std::string> folders() {
    std::string out;
    const Result<std::filesystem::path> here = exe_dir();
    if (!here) out += "program folder cannot be named: " + here.error().one_line() + "\n";
    else out += installed_folder_verdict(*here) + "\n";
    // The service's own folder too, where it is another.
    if (const Result<std::wstring> image = scm::service_image_path()) {
        const std::filesystem::path installed = std::filesystem::path(*image).parent_path();
        std::error_code unknown;
        if (!here || !std::filesystem::equivalent(installed, *here, unknown))
            out += installed_folder_verdict(installed) + "\n";
    }
    const std::filesystem::path data = service_data_dir();
    return out + data_folder_verdict(data, trust::read_entry, trust::permissions_kept(data.parent_path()));
}

// Status as `status` prints it; with it, which helper answered.
Result<std::string> status(bool console, std::optional<HelperIdentity>& answered_by) {
    CtlCommand command;
    command.verb = Verb::Status;
    command.word = "status";
    command.console = console;
    Result<Answered> answered = ask_helper(request_line("status", std::nullopt), console, command.word);
    if (!answered) return fail(answered.error());
    answered_by = answered->server;
    return printed_reply(command, answered->reply, console ? answered->server : with_service_image(answered->server));
}

// The log of the service, or with --console the one beside the helper that
// answered (beside velmor-ctl.exe when none did).
Result<std::filesystem::path> log_path(bool console, const std::optional<HelperIdentity>& answered_by) {
    if (!console) return service_log_path();
    if (answered_by && !answered_by->image.empty())
        return std::filesystem::path(widen(answered_by->image)).parent_path() / widen(LOG_FILE_NAME);
    const Result<std::filesystem::path> here = exe_dir();
    if (!here) return fail(here.error());
    return *here / widen(LOG_FILE_NAME);
}

Result<std::string> log_file(const Result<std::filesystem::path>& path) {
    if (!path) return fail(path.error());
    Result<std::string> text = readable_local_log(*path);
    if (!text && text.error().system_code() == ERROR_FILE_NOT_FOUND)
        return "no such file: " + narrow(path->native()) + "\n";
    return text;
}

// The newest records of `log` from `source`, oldest first.
Result<std::string> events_of(const wchar_t* log) {
    struct Closer {
        void operator()(HANDLE h) const { CloseEventLog(h); }
    };
    const std::unique_ptr<void, Closer> handle(OpenEventLogW(nullptr, log));
    if (!handle) return fail(last_call_error("OpenEventLogW"));
    std::vector<std::string> lines;
    std::vector<std::uint64_t> buffer(64 * 1024 / sizeof(std::uint64_t));
    std::size_t read = 0;
    while (read < EVENTS_READ) {
        DWORD bytes = 0, needed = 0;
        if (!ReadEventLogW(handle.get(), EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0, buffer.data(),
                           static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &bytes, &needed)) {
            const DWORD code = GetLastError();
            if (code == ERROR_HANDLE_EOF) break;
            if (code == ERROR_INSUFFICIENT_BUFFER && needed > buffer.size() * sizeof(std::uint64_t)) {
                buffer.resize(needed / sizeof(std::uint64_t) + 1);
                continue;
            }
            return fail(call_error("ReadEventLogW", code));
        }
        if (bytes == 0) break;
        const auto* base = reinterpret_cast<const BYTE*>(buffer.data());
        for (DWORD at = 0; at + sizeof(EVENTLOGRECORD) <= bytes && read < EVENTS_READ;) {
            const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(base + at);
            if (record->Length < sizeof(EVENTLOGRECORD) || at + record->Length > bytes) break;
            EventEntry entry;
            entry.written = record->TimeWritten;
            entry.id = record->EventID;
            entry.type = record->EventType;
            entry.source = narrow(reinterpret_cast<const wchar_t*>(base + at + sizeof(EVENTLOGRECORD)));
            const auto* text = reinterpret_cast<const wchar_t*>(base + at + record->StringOffset);
            for (WORD i = 0; i < record->NumStrings; ++i, text += wcslen(text) + 1) entry.strings.push_back(narrow(text));
            if (std::optional<std::string> line = event_line(entry, EVENT_SOURCE, utc_offset_minutes))
                lines.push_back(std::move(*line));
            ++read;
            at += record->Length;
        }
    }
    std::string out;
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) out += *line + "\n";
    return out.empty() ? std::string("none\n") : out;
}

// The helper's own log, where its source is registered, and Application,
// where earlier versions reported.
Result<std::string> events() {
    std::string out;
    const std::wstring own = widen(names::EVENT_LOG.view());
    for (const std::wstring& log : {own, std::wstring(L"Application")}) {
        const Result<std::string> found = events_of(log.c_str());
        out += "log " + narrow(log) + ":\n" + (found ? *found : "error: " + found.error().one_line() + "\n");
    }
    return out;
}

// FOLDER as found: made when missing, refused when it holds anything.
Result<std::filesystem::path> bundle_folder(const std::string& given) {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::absolute(widen(given), error);
    if (error) return fail(os_error(static_cast<std::uint32_t>(error.value())).context("invalid folder " + given));
    const std::filesystem::file_status found = std::filesystem::symlink_status(folder, error);
    if (error && found.type() != std::filesystem::file_type::not_found)
        return fail(os_error(static_cast<std::uint32_t>(error.value())).context("cannot look at " + given));
    FolderFound kind = FolderFound::Missing;
    if (found.type() == std::filesystem::file_type::directory) {
        const std::filesystem::directory_iterator first(folder, error);
        if (error) return fail(os_error(static_cast<std::uint32_t>(error.value())).context("cannot list " + given));
        kind = first == std::filesystem::directory_iterator() ? FolderFound::Empty : FolderFound::NotEmpty;
    } else if (found.type() != std::filesystem::file_type::not_found) {
        kind = FolderFound::NotAFolder;
    }
    const Result<bool> make = bundle_folder_needs_making(kind, given);
    if (!make) return fail(make.error());
    if (*make && !std::filesystem::create_directories(folder, error) && error)
        return fail(os_error(static_cast<std::uint32_t>(error.value())).context("cannot make " + given));
    return folder;
}

// A new file only: whatever appeared in FOLDER meanwhile is never
// overwritten.
Result<> write_new(const std::filesystem::path& path, const std::string& text) {
    const unique_handle file =
        adopt_file_handle(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(Error("cannot write " + narrow(path.native()), last_call_error("CreateFileW")));
    DWORD written = 0;
    if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size())
        return fail(Error("cannot write " + narrow(path.native()), last_call_error("WriteFile")));
    return {};
}

}  // namespace

int run_diag(const CtlCommand& command) {
    const auto failed = [](const Error& error) {
        const std::string line = error_line(error);
        std::fwrite(line.data(), 1, line.size(), stderr);
        return EXIT_FOLDER_UNUSABLE;
    };
    const Result<std::filesystem::path> folder = bundle_folder(command.value);
    if (!folder) return failed(folder.error());
    if (Result<> readme = write_new(*folder / widen(DIAG_README_FILE), diag_readme(VERSION_LINE)); !readme)
        return failed(readme.error());
    std::optional<HelperIdentity> answered_by;
    for (const DiagPartRow& row : DIAG_PARTS) {
        Result<std::string> collected = fail("not collected");
        switch (row.part) {
            case DiagPart::Versions: collected = versions(); break;
            case DiagPart::Registration: collected = registration(); break;
            case DiagPart::Settings:
                collected = settings_text(settings::read_text(settings::CONTROL_ACCESS),
                                          settings::read_flag(settings::ALLOW_UNSAFE_FOLDER));
                break;
            case DiagPart::Trust: collected = folders(); break;
            case DiagPart::Status: collected = status(command.console, answered_by); break;
            case DiagPart::Log: collected = log_file(log_path(command.console, answered_by)); break;
            case DiagPart::OldLog: {
                Result<std::filesystem::path> path = log_path(command.console, answered_by);
                if (path) *path += L".1";
                collected = log_file(path);
                break;
            }
            case DiagPart::Events: collected = events(); break;
        }
        if (Result<> written = write_new(*folder / widen(row.file), part_file_text(collected)); !written)
            return failed(written.error());
    }
    const std::string done = "support bundle written: " + narrow(folder->native()) + "\n";
    std::fwrite(done.data(), 1, done.size(), stdout);
    return EXIT_WRITTEN;
}

}  // namespace velmor::ctl
