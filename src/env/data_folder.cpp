#include "env/data_folder.hpp"

#include <atomic>

#include "base/file_ops.hpp"
#include "base/names.hpp"
#include "base/os_error.hpp"
#include "base/path.hpp"
#include "env/locations.hpp"
#include "env/log.hpp"

namespace velmor {
namespace {

// Literals, not strings: a thread still running after the entry point has
// returned may get here, and nothing it reads may have been destroyed.
constexpr std::filesystem::path::value_type LOG_FOLDER_NAME[] = {'l', 'o', 'g', 0};
constexpr std::string_view HELD = "wintun.dll in the data folder is held open and cannot be compared";

// Set-asides and creations one folder may take before the helper gives up
// on someone who keeps putting something back.
constexpr int MAX_STEPS = 8;

// The refusal of a start, logged as it is replied.
Error not_safe(const std::filesystem::path& folder, const std::string& cause) {
    std::string message = "data folder is not safe: " + path_to_utf8(folder) + ": " + cause;
    log_message(message);
    return Error(std::move(message));
}

// Whether owners and DACLs are judged for `folder`: where its volume keeps
// none, only links and kinds are (said once per process).
bool permissions_judged(const trust::OpenedEntry& entry, const std::filesystem::path& folder) {
    if (trust::permissions_kept(entry)) return true;
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        log_message("data folder: folder permissions cannot be enforced on this volume: " + path_to_utf8(folder));
    return false;
}

// Makes `folder` a folder of ours, setting aside whatever else stands there.
// Returns it held, or nothing when it is missing and not to be created.
//
// With `repairable` (`Velmor`, of which only `service` is used), a folder
// whose only fault is its owner or DACL and that cannot be set aside (its
// maker holds it open without delete sharing) is given the protected
// descriptor in place, then checked again. A handle its maker opened before
// keeps the access it was granted, adding entries or changing the DACL
// included; nothing in `Velmor` but `service` is used, and `service` is
// judged, held and protected on its own, so what such a handle can still do
// reaches nothing SYSTEM trusts. `service` itself, whose contents the core
// uses, is never repaired: what it holds cannot be known to be ours.
Result<std::optional<trust::OpenedEntry>> secure_folder(const std::filesystem::path& folder, bool create,
                                                        bool repairable, const detail::SetAsideObserver& observer) {
    bool made_here = false;
    bool repaired = false;
    for (int step = 0; step < MAX_STEPS; ++step) {
        Result<std::optional<trust::Entry>> opened = trust::open_entry(folder);
        if (!opened) return fail(not_safe(folder, opened.error().one_line()));
        if (!*opened) {
            if (!create) return std::optional<trust::OpenedEntry>();
            Result<bool> created = detail::create_protected_folder(folder);
            if (!created) return fail(not_safe(folder, "cannot create it: " + created.error().one_line()));
            made_here = *created;
            continue;  // checked like any folder found
        }
        trust::Entry& entry = **opened;
        trust::EntryFacts facts{entry.kind, std::nullopt};
        if (entry.kind == trust::EntryKind::Folder && permissions_judged(entry.opened, folder)) {
            Result<trust::Permissions> permissions = trust::entry_permissions(entry.opened);
            if (!permissions) return fail(not_safe(folder, permissions.error().one_line()));
            facts.permissions = std::move(*permissions);
        }
        const std::optional<std::string> problem =
            trust::entry_problem(facts, trust::EntryKind::Folder, trust::TrustRole::DataFolder);
        if (!problem) return std::optional<trust::OpenedEntry>(std::move(entry.opened));
        if (made_here) return fail(not_safe(folder, "the folder created is not what was asked for: " + *problem));
        if (repaired) return fail(not_safe(folder, "still not safe once its owner and DACL were reset: " + *problem));

        const std::filesystem::path aside = std::filesystem::path(folder.native() + trust::untrusted_suffix());
        // Closed first: the rename opens the entry again, with the right to
        // delete, and checks that it is still the same one.
        entry.opened.handle.reset();
        if (observer) observer(detail::SetAsideStep::BeforeRename, folder, aside);
        if (Result<> moved = trust::rename_entry_aside(folder, entry.opened.identity, aside); !moved) {
            std::string refusal = "cannot set it aside (" + *problem + "): " + moved.error().one_line();
            // Only a folder whose permissions were read and found wrong.
            if (!repairable || !facts.permissions) return fail(not_safe(folder, refusal));
            if (Result<> reset = detail::reset_folder_security(folder, entry.opened.identity); !reset)
                return fail(not_safe(folder, refusal + "; cannot reset its owner and DACL: " + reset.error().one_line()));
            log_message("data folder: reset the owner and DACL of " + path_to_utf8(folder) + " in place (" + *problem +
                        "): it cannot be set aside: " + moved.error().one_line());
            repaired = true;
            if (observer) observer(detail::SetAsideStep::AfterRepair, folder, {});
            continue;
        }
        log_message("data folder: set aside " + path_to_utf8(folder) + " as " + path_to_utf8(aside) + ": " + *problem);
        if (observer) observer(detail::SetAsideStep::AfterRename, folder, aside);
    }
    return fail(not_safe(folder, "something was put back in its place every time it was set aside"));
}

}  // namespace

Result<PreparedDataFolder> prepare_data_folder(const std::filesystem::path& service_data_dir) {
    return detail::prepare_data_folder_with(service_data_dir, nullptr);
}

namespace detail {

Result<PreparedDataFolder> prepare_data_folder_with(const std::filesystem::path& service_data_dir,
                                                    const SetAsideObserver& observer) {
    const std::filesystem::path velmor = service_data_dir.parent_path();
    // The base folder and what lies above it are not ours: created as ever,
    // inheriting their parent's permissions.
    const std::filesystem::path base = velmor.parent_path();
    (void)create_folder_all(base);

    std::vector<trust::OpenedEntry> held;
    for (const std::filesystem::path& folder : {velmor, service_data_dir}) {
        Result<std::optional<trust::OpenedEntry>> secured = secure_folder(folder, true, folder == velmor, observer);
        if (!secured) return fail(std::move(secured.error()));
        held.push_back(std::move(**secured));
    }
    if (observer) observer(SetAsideStep::Held, service_data_dir, {});
    // The core works in the folder the path names, not in one the held
    // handle reached some other way.
    Result<bool> in_place = trust::entry_is_at(held.back(), service_data_dir);
    if (!in_place) return fail(not_safe(service_data_dir, in_place.error().one_line()));
    if (!*in_place) return fail(not_safe(service_data_dir, "the folder opened is not the one its path names"));

    // Created later by start_core, only for a start that the record accepts;
    // one already there gets the same check now.
    Result<std::optional<trust::OpenedEntry>> log_folder =
        secure_folder(join_path(service_data_dir, LOG_FOLDER_NAME), false, false, observer);
    if (!log_folder) return fail(std::move(log_folder.error()));
    return PreparedDataFolder(std::move(held));
}

}  // namespace detail

Result<> ensure_wintun(const std::filesystem::path& service_data_dir) {
    const Result<std::filesystem::path> source_dir = exe_dir();
    if (!source_dir) return {};
    return detail::place_wintun(*source_dir, service_data_dir);
}

namespace detail {

Result<> place_wintun(const std::filesystem::path& source_dir, const std::filesystem::path& service_data_dir) {
    const std::filesystem::path destination = join_path(service_data_dir, WINTUN_NAME);
    const std::filesystem::path source = join_path(source_dir, WINTUN_NAME);
    if (!path_metadata_readable(source)) return {};

    // A copy that cannot be read is not known to be ours.
    std::optional<Error> held_by;
    const Result<Comparison> compared = compare_with(source, destination, held_by);
    const Comparison found = compared ? *compared : Comparison::Different;
    if (found == Comparison::Same) {
        // A running core may hold it loaded: only its DACL is made ours.
        (void)make_private_copy(destination);
        return {};
    }
    if (found == Comparison::Held) {
        // Someone holds it open without sharing: it cannot be known to be
        // ours, nor replaced.
        Error error = held_by ? held_by->context(std::string(HELD)) : Error(std::string(HELD));
        log_message(error.one_line());
        return fail(std::move(error));
    }

    const auto failed = [&](const Error& error) -> Result<> {
        if (found == Comparison::Missing) {
            // Nothing in place that anyone else wrote: the start goes on.
            log_message("ensure_wintun: copy failed: " + error.message());
            return {};
        }
        std::string message =
            "wintun.dll in the data folder differs from the installed one and cannot be replaced: " + error.message();
        log_message(message);
        return fail(std::move(message));
    };
    // The copy goes to a temporary name first and only a finished copy is
    // renamed into place, so that a copy cut off half-way is never used.
    const std::filesystem::path temporary =
        std::filesystem::path(destination.native() + temporary_copy_suffix());
    remove_file_quietly(temporary);
    if (Result<> copied = file_ops::copy_file_over(source, temporary); !copied) {
        remove_file_quietly(temporary);
        return failed(os_error(copied.error().system_code().value_or(0)));
    }
    if (Result<> made_private = make_private_copy(temporary); !made_private) {
        remove_file_quietly(temporary);
        return failed(made_private.error());
    }
    if (Result<> moved = rename_replacing(temporary, destination); !moved) {
        remove_file_quietly(temporary);
        return failed(moved.error());
    }
    if (found == Comparison::Different) log_message("ensure_wintun: replaced a copy that differed from the installed one");
    return {};
}

}  // namespace detail
}  // namespace velmor
