#include "velmor-ctl/diag.hpp"

#include <algorithm>
#include <cctype>
#include <limits>

#include "base/local_time.hpp"
#include "base/names.hpp"
#include "base/path.hpp"
#include "base/text.hpp"

namespace velmor::ctl {
namespace {

// Each line escaped as the log escapes; nothing cut, as a log line would be.
std::string escaped_lines(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        out += escape_for_log(text.substr(0, end), std::numeric_limits<std::size_t>::max()) + "\n";
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return out;
}

std::string hex_text(std::uint32_t value) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string digits;
    do {
        digits.insert(digits.begin(), DIGITS[value % 16]);
        value /= 16;
    } while (value != 0);
    return "0x" + digits;
}

bool same_without_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

std::string diag_readme(std::string_view version_line) {
    std::string text = "A support bundle of the Velmor helper, written by `velmor-ctl diag` (" +
                       std::string(version_line) +
                       ").\n"
                       "Each file is one part; a part that could not be collected holds \"error: \" and why.\n"
                       "No configuration is in it: the helper keeps none, and nothing here copies the data folder's "
                       "files or a request.\n\n";
    for (const DiagPartRow& row : DIAG_PARTS) text += std::string(row.file) + "\n    " + std::string(row.about) + "\n";
    return text;
}

std::string part_file_text(const Result<std::string>& collected) {
    if (!collected) return escaped_lines("error: " + collected.error().one_line());
    return escaped_lines(*collected);
}

Result<bool> bundle_folder_needs_making(FolderFound found, std::string_view folder) {
    switch (found) {
        case FolderFound::Missing: return true;
        case FolderFound::Empty: return false;
        case FolderFound::NotEmpty:
            return fail(std::string(folder) + " is not empty: diag writes only into a new or empty folder, so that "
                                              "nothing there is overwritten; name another");
        case FolderFound::NotAFolder: break;
    }
    return fail(std::string(folder) + " is not a folder; name a new or empty folder");
}

std::string fields_text(std::span<const DiagField> fields) {
    std::string out;
    for (const DiagField& field : fields)
        out += field.name + ": " + (field.value ? *field.value : "cannot be read: " + field.value.error().one_line()) +
               "\n";
    return out;
}

std::string service_number_text(ServiceNumber kind, std::uint32_t value) {
    struct Name {
        ServiceNumber kind;
        std::uint32_t value;
        std::string_view name;
    };
    // The SERVICE_* values of winsvc.h, as Microsoft documents them for
    // CreateServiceW and QueryServiceStatusEx.
    static constexpr Name NAMES[] = {
        {ServiceNumber::Type, 0x10, "own process"},        {ServiceNumber::Type, 0x20, "shares a process"},
        {ServiceNumber::Type, 0x110, "own process, interactive"},
        {ServiceNumber::StartType, 0, "boot"},              {ServiceNumber::StartType, 1, "system"},
        {ServiceNumber::StartType, 2, "automatic"},         {ServiceNumber::StartType, 3, "on demand"},
        {ServiceNumber::StartType, 4, "disabled"},          {ServiceNumber::ErrorControl, 0, "ignore"},
        {ServiceNumber::ErrorControl, 1, "normal"},         {ServiceNumber::ErrorControl, 2, "severe"},
        {ServiceNumber::ErrorControl, 3, "critical"},       {ServiceNumber::State, 1, "stopped"},
        {ServiceNumber::State, 2, "start pending"},         {ServiceNumber::State, 3, "stop pending"},
        {ServiceNumber::State, 4, "running"},               {ServiceNumber::State, 5, "continue pending"},
        {ServiceNumber::State, 6, "pause pending"},         {ServiceNumber::State, 7, "paused"},
    };
    const std::string number = kind == ServiceNumber::Type ? hex_text(value) : std::to_string(value);
    for (const Name& name : NAMES)
        if (name.kind == kind && name.value == value) return number + " (" + std::string(name.name) + ")";
    return number;
}

std::string recovery_text(const RecoverySettings& recovery) {
    std::string out = "recovery actions: ";
    if (!recovery.actions) {
        out += "not readable";
    } else if (recovery.actions->empty()) {
        out += "none";
    } else {
        for (std::size_t i = 0; i < recovery.actions->size(); ++i) {
            const RecoveryAction& action = (*recovery.actions)[i];
            if (i) out += ", ";
            out += action.type == RECOVERY_RESTART ? "restart" : "action " + std::to_string(action.type);
            out += " after " + std::to_string(action.delay_ms) + " ms";
        }
    }
    out += "\nfailure count reset after: " +
           (recovery.reset_seconds ? std::to_string(*recovery.reset_seconds) + " s" : std::string("not readable"));
    out += "\nrecovery on non-crash failures: " +
           (recovery.on_non_crash_failures ? std::string(*recovery.on_non_crash_failures ? "yes" : "no")
                                           : std::string("not readable"));
    return out + "\n";
}

std::string settings_text(const Result<std::optional<std::string>>& policy, const Result<bool>& allowance) {
    std::string out = "key: " + std::string(SETTINGS_KEY) + "\n" + std::string(CONTROL_ACCESS_VALUE_NAME) + ": ";
    if (!policy)
        out += "cannot be read, so the helper lets no client start or stop a core: " + policy.error().one_line();
    else
        out += *policy ? "\"" + **policy + "\"" : std::string("not set");
    out += "\n" + std::string(ALLOW_UNSAFE_FOLDER_VALUE_NAME) + ": ";
    if (!allowance)
        out += "cannot be read, so the helper accepts no unsafe program folder: " + allowance.error().one_line();
    else
        out += *allowance ? "set" : "not set";
    return out + "\n";
}

std::string data_folder_verdict(const std::filesystem::path& service_data_dir, const trust::EntryReader& reader,
                                bool permissions_kept) {
    std::string out;
    for (const std::filesystem::path& folder : {service_data_dir.parent_path(), service_data_dir}) {
        const std::string name = path_to_utf8(folder);
        const Result<std::optional<trust::EntryFacts>> facts = reader(folder);
        if (!facts) {
            out += "data folder cannot be checked: " + name + ": " + facts.error().one_line() + "\n";
            continue;
        }
        if (!*facts) {
            out += "data folder is missing (a start makes it): " + name + "\n";
            continue;
        }
        trust::EntryFacts judged = **facts;
        if (!permissions_kept) judged.permissions.reset();
        if (const auto problem = trust::entry_problem(judged, trust::EntryKind::Folder, trust::TrustRole::DataFolder))
            out += "data folder is not safe (a start sets it aside): " + name + ": " + *problem + "\n";
        else
            out += (permissions_kept ? "data folder is safe: "
                                     : "data folder: permissions cannot be enforced on this volume, only links and "
                                       "kinds were checked: ") +
                   name + "\n";
    }
    return out;
}

std::optional<std::string> event_line(const EventEntry& entry, std::string_view source,
                                      const std::function<int(std::int64_t)>& offset_minutes) {
    if (!same_without_case(entry.source, source)) return std::nullopt;
    // From seconds since 1970 to 100-ns intervals since 1601.
    const std::int64_t intervals = (entry.written + 11'644'473'600) * 10'000'000;
    std::string kind;
    switch (entry.type) {
        case 0x1: kind = "error"; break;        // EVENTLOG_ERROR_TYPE
        case 0x2: kind = "warning"; break;      // EVENTLOG_WARNING_TYPE
        case 0x0:                               // EVENTLOG_SUCCESS
        case 0x4: kind = "information"; break;  // EVENTLOG_INFORMATION_TYPE
        default: kind = "type " + std::to_string(entry.type);
    }
    std::string line = iso_time(intervals, offset_minutes(intervals)) + " " + kind + " " +
                       std::to_string(entry.id & 0xFFFF) + ":";
    for (std::size_t i = 0; i < entry.strings.size(); ++i) line += (i ? "; " : " ") + entry.strings[i];
    return line;
}

}  // namespace velmor::ctl
