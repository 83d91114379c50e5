#include "env/data_folder.hpp"

#include "base/path.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

const std::filesystem::path::string_type WINTUN_NAME = {'w', 'i', 'n', 't', 'u', 'n', '.', 'd', 'l', 'l'};
const std::filesystem::path::string_type LOG_FOLDER_NAME = {'l', 'o', 'g'};

// An error and its causes on one line, for a log line of its own.
std::string one_line(const Error& error) {
    std::string text = error.message();
    for (const Error* cause = error.cause(); cause != nullptr; cause = cause->cause()) text += ": " + cause->message();
    return text;
}

// Logs what secure_folder found; true when the folder's content came from
// someone who could write there.
Result<bool> secure_and_log(const std::filesystem::path& folder, bool create) {
    const std::string shown = path_to_utf8(folder);
    Result<detail::FolderOutcome> outcome = detail::secure_folder(folder, create);
    if (!outcome) {
        log_message("data folder: cannot remove the link in place of " + shown + ": " + one_line(outcome.error()));
        return fail(std::move(outcome.error()).context("cannot remove the link in place of " + shown));
    }
    if (outcome->link_removed) log_message("data folder: removed a link in place of " + shown);
    switch (outcome->state) {
        case detail::FolderState::Repaired:
            log_message("data folder: repaired unsafe permissions on " + shown);
            return true;
        case detail::FolderState::RepairFailed:
            log_message("data folder: cannot repair unsafe permissions on " + shown + ": " +
                        (outcome->repair_error ? one_line(*outcome->repair_error) : std::string("unknown error")));
            // Still writable by whoever could write before: a copy placed now
            // could be swapped right after, so nothing is gained by replacing.
            return false;
        case detail::FolderState::Absent:
        case detail::FolderState::Created:
        case detail::FolderState::Safe: break;
    }
    return outcome->link_removed;
}

}  // namespace

Result<DataFolderReport> prepare_data_folder(const std::filesystem::path& service_data_dir) {
    const std::filesystem::path velmor = service_data_dir.parent_path();
    // The base folder and what lies above it are not ours: created as ever,
    // inheriting their parent's permissions.
    (void)create_folder_all(velmor.parent_path());

    DataFolderReport report;
    for (const std::filesystem::path& folder : {velmor, service_data_dir}) {
        Result<bool> untrusted = secure_and_log(folder, true);
        if (!untrusted) return fail(std::move(untrusted.error()));
        report.untrusted = report.untrusted || *untrusted;
    }
    // Created later by start_core, only for a start that the record accepts;
    // one already there gets the same check now.
    if (Result<bool> log_folder = secure_and_log(join_path(service_data_dir, LOG_FOLDER_NAME), false); !log_folder)
        return fail(std::move(log_folder.error()));
    return report;
}

void ensure_wintun(const std::filesystem::path& service_data_dir, WintunPlacement placement) {
    const std::filesystem::path destination = join_path(service_data_dir, WINTUN_NAME);
    if (placement == WintunPlacement::KeepExisting && detail::path_metadata_readable(destination)) return;
    const Result<std::filesystem::path> source_dir = exe_dir();
    if (!source_dir) return;
    detail::place_wintun(*source_dir, service_data_dir, placement);
}

namespace detail {

void place_wintun(const std::filesystem::path& source_dir, const std::filesystem::path& service_data_dir,
                  WintunPlacement placement) {
    const bool replace = placement == WintunPlacement::ReplaceExisting;
    const std::filesystem::path destination = join_path(service_data_dir, WINTUN_NAME);
    if (!replace && path_metadata_readable(destination)) return;
    const std::filesystem::path source = join_path(source_dir, WINTUN_NAME);
    if (!path_metadata_readable(source)) return;

    // The copy goes to a temporary name first and only a finished copy is
    // renamed into place, so that a copy cut off half-way never becomes the
    // copy that later starts find present and keep for ever.
    const std::filesystem::path temporary = join_path(service_data_dir, WINTUN_NAME + temporary_copy_suffix());
    // In a folder that others could write until now, a file under the
    // temporary name may be theirs; the copy must be a new file of our own,
    // not their file with our bytes in it.
    if (replace) remove_file_quietly(temporary);
    if (Result<> copied = copy_file_over(source, temporary); !copied) {
        remove_file_quietly(temporary);
        log_message("ensure_wintun: copy failed: " + copied.error().message());
        return;
    }
    if (replace) {
        if (Result<> moved = rename_replacing(temporary, destination); !moved) {
            remove_file_quietly(temporary);
            log_message("ensure_wintun: copy failed: " + moved.error().message());
        }
        return;
    }
    const Result<PlaceOutcome> placed = rename_without_replacing(temporary, destination);
    if (!placed || *placed == PlaceOutcome::AlreadyPresent) remove_file_quietly(temporary);
    // Someone else placed a copy meanwhile: theirs stays, ours is dropped.
    if (!placed) log_message("ensure_wintun: copy failed: " + placed.error().message());
}

}  // namespace detail
}  // namespace velmor
