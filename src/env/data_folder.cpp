#include "env/data_folder.hpp"

#include "base/path.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

const std::filesystem::path::string_type WINTUN_NAME = {'w', 'i', 'n', 't', 'u', 'n', '.', 'd', 'l', 'l'};

}  // namespace

void ensure_wintun(const std::filesystem::path& service_data_dir) {
    const std::filesystem::path destination = join_path(service_data_dir, WINTUN_NAME);
    if (detail::path_metadata_readable(destination)) return;
    const Result<std::filesystem::path> source_dir = exe_dir();
    if (!source_dir) return;
    detail::place_wintun(*source_dir, service_data_dir);
}

namespace detail {

void place_wintun(const std::filesystem::path& source_dir, const std::filesystem::path& service_data_dir) {
    const std::filesystem::path destination = join_path(service_data_dir, WINTUN_NAME);
    if (path_metadata_readable(destination)) return;
    const std::filesystem::path source = join_path(source_dir, WINTUN_NAME);
    if (!path_metadata_readable(source)) return;

    // The copy goes to a temporary name first and only a finished copy is
    // renamed into place, so that a copy cut off half-way never becomes the
    // copy that later starts find present and keep for ever.
    const std::filesystem::path temporary = join_path(service_data_dir, WINTUN_NAME + temporary_copy_suffix());
    if (Result<> copied = copy_file_over(source, temporary); !copied) {
        remove_file_quietly(temporary);
        log_message("ensure_wintun: copy failed: " + copied.error().message());
        return;
    }
    const Result<PlaceOutcome> placed = rename_without_replacing(temporary, destination);
    if (!placed || *placed == PlaceOutcome::AlreadyPresent) remove_file_quietly(temporary);
    // Someone else placed a copy meanwhile: theirs stays, ours is dropped.
    if (!placed) log_message("ensure_wintun: copy failed: " + placed.error().message());
}

}  // namespace detail
}  // namespace velmor
