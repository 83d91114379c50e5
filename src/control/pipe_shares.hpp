#pragma once
// Fair shares of the pipe's instances. Every instance a client holds is one
// that nobody else can use, and a client that connects and then sends
// nothing holds its instance up to the first-bytes bound; one that keeps
// reconnecting could hold every instance for ever. So whoever connects is
// counted by process and by session (process ids can be made anew, sessions
// cannot), and a second connection is only served while enough instances
// stay free for everyone else:
//
// - a process that holds an instance already gets another one only while,
//   with it, at least half of all instances stay free;
// - a session that holds or waits with an instance already gets another one
//   only while, with it, at least SESSION_RESERVE instances stay free for
//   other sessions.
//
// Any other connection waits, up to a short bound, for a connection of its
// own process to be let go: a client may connect again before the helper
// has noticed that its earlier connection has ended (it has read its reply,
// or it has closed). Only one connection of a process waits at a time, and
// only while the session rule holds with it counted: a waiting connection
// holds its instance as much as a served one, so no session holds and parks
// more than the instances minus SESSION_RESERVE. Any other is dropped at once.
//
// One instance is kept for the machine's administrators: a client that is not
// elevated is served only while, with it, ADMIN_RESERVE instances stay free,
// so that an administrator whose session a user's processes fill still gets
// in. An elevated client is not held to the session rule (it shares its
// session with the user who fills it) but to the process rule.
//
// The rules count the instances really served: one that is lost, or whose
// thread never started, is taken off (lose_instance).
// Portable; the pipe server keeps one for its instances. The primitives are a
// parameter so that the interleaving explorer can run the same code.

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "base/sync.hpp"

namespace velmor {

// Who a connection comes from; none for a process id or session that the
// system could not tell, which then all count as one client.
struct PipeClientKey {
    std::optional<std::uint32_t> process;
    std::optional<std::uint32_t> session;
    // Whether the client's token is SYSTEM's or has the Administrators group
    // enabled (client_elevated).
    bool elevated = false;
};

// What the client's token says, as far as it could be read. A filtered
// administrator's token has the Administrators group deny-only, not enabled.
struct ClientStanding {
    bool system = false;
    bool administrators_enabled = false;
};

// Whether a client with `standing` (none: its token could not be read) may
// use the administrators' instance. A token that cannot be read is not
// elevated.
inline bool client_elevated(const std::optional<ClientStanding>& standing) {
    return standing && (standing->system || standing->administrators_enabled);
}

// Instances kept free for other sessions than one that holds more.
inline constexpr int SESSION_RESERVE = 2;
// Instances kept for elevated clients.
inline constexpr int ADMIN_RESERVE = 1;
// How long a new connection may wait for its process's earlier ones.
inline constexpr std::chrono::milliseconds OWN_CONNECTION_WAIT{2000};

// Called from the pipe server's threads, each for the connection of its own
// instance; admit may block on the others' releases.
template <class Sync>
class BasicPipeShares {
public:
    explicit BasicPipeShares(int instances, std::chrono::nanoseconds wait = OWN_CONNECTION_WAIT)
        : instances_(instances), wait_(wait) {}
    BasicPipeShares(const BasicPipeShares&) = delete;
    BasicPipeShares& operator=(const BasicPipeShares&) = delete;

    // One served connection, counted until it is destroyed.
    class Claim {
    public:
        Claim(Claim&& other) noexcept : shares_(std::exchange(other.shares_, nullptr)), key_(other.key_) {}
        Claim& operator=(Claim&&) = delete;
        ~Claim() {
            if (shares_ != nullptr) shares_->release(key_);
        }

    private:
        friend class BasicPipeShares;
        Claim(BasicPipeShares* shares, PipeClientKey key) : shares_(shares), key_(key) {}
        BasicPipeShares* shares_;
        PipeClientKey key_;
    };

    // The claim for a new connection from `key`, or none when it is to be
    // dropped. May block up to the wait given at construction.
    std::optional<Claim> admit(const PipeClientKey& key) {
        std::unique_lock lock(mutex_);
        if (!fits(key, false)) {
            // Waits, counted as held, for a connection of its own process to
            // go; drops when it may not, or when that does not come in time.
            const Count& process = processes_[key.process];
            if (process.held == 0 || process.waiting > 0 || !reserves_fit(key, false)) {
                forget_if_unused(key);
                return std::nullopt;
            }
            count_waiting(key, +1);
            const bool admitted = released_.wait_until(lock, Sync::Clock::now() + wait_, [&] { return fits(key, true); });
            count_waiting(key, -1);
            if (!admitted) {
                forget_if_unused(key);
                return std::nullopt;
            }
        }
        ++processes_[key.process].held;
        ++sessions_[key.session].held;
        ++held_;
        return Claim(this, key);
    }

    // Takes one instance off those served (lost, or its thread never
    // started); returns how many are served now.
    int lose_instance() {
        std::lock_guard lock(mutex_);
        if (instances_ > 0) --instances_;
        return instances_;
    }

private:
    struct Count {
        int held = 0;
        int waiting = 0;
    };

    // Instances free once this connection is counted (itself counted already
    // when it waits).
    int free_after(bool self_waiting) const { return instances_ - held_ - waiting_ - (self_waiting ? 0 : 1); }

    // The administrators' instance, and the session rule for a connection
    // whose session holds or parks others: both for clients that are not
    // elevated.
    bool reserves_fit(const PipeClientKey& key, bool self_waiting) {
        const int free = free_after(self_waiting);
        if (free < 0) return false;
        if (key.elevated) return true;
        if (free < ADMIN_RESERVE) return false;
        const Count& session = sessions_[key.session];
        const int others = session.held + session.waiting - (self_waiting ? 1 : 0);
        return others == 0 || free >= SESSION_RESERVE;
    }

    bool fits(const PipeClientKey& key, bool self_waiting) {
        if (processes_[key.process].held > 0 && 2 * free_after(self_waiting) < instances_) return false;
        return reserves_fit(key, self_waiting);
    }

    void count_waiting(const PipeClientKey& key, int change) {
        processes_[key.process].waiting += change;
        sessions_[key.session].waiting += change;
        waiting_ += change;
    }

    void forget_if_unused(const PipeClientKey& key) {
        if (const auto p = processes_.find(key.process); p != processes_.end() && p->second.held + p->second.waiting == 0)
            processes_.erase(p);
        if (const auto s = sessions_.find(key.session); s != sessions_.end() && s->second.held + s->second.waiting == 0)
            sessions_.erase(s);
    }

    void release(const PipeClientKey& key) {
        {
            std::lock_guard lock(mutex_);
            --held_;
            --processes_[key.process].held;
            --sessions_[key.session].held;
            forget_if_unused(key);
        }
        released_.notify_all();
    }

    int instances_;  // guarded by mutex_
    const std::chrono::nanoseconds wait_;
    typename Sync::Mutex mutex_;
    typename Sync::ConditionVariable released_;
    int held_ = 0;                                             // guarded by mutex_
    int waiting_ = 0;                                          // guarded by mutex_
    std::map<std::optional<std::uint32_t>, Count> processes_;  // guarded by mutex_
    std::map<std::optional<std::uint32_t>, Count> sessions_;   // guarded by mutex_
};

extern template class BasicPipeShares<SystemSync>;
using PipeShares = BasicPipeShares<SystemSync>;

}  // namespace velmor
