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
// - a session that holds an instance already gets another one only while,
//   with it, at least SESSION_RESERVE instances stay free for other
//   sessions.
//
// Any other connection waits, up to a short bound, for a connection of its
// own process to be let go: a client may connect again before the helper
// has noticed that its earlier connection has ended (it has read its reply,
// or it has closed). Only one connection of a process waits at a time, and
// a waiting connection counts as held; any other is dropped at once.
// Portable; the pipe server keeps one for its instances.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace velmor {

// Who a connection comes from; none for a process id or session that the
// system could not tell, which then all count as one client.
struct PipeClientKey {
    std::optional<std::uint32_t> process;
    std::optional<std::uint32_t> session;
};

// Instances kept free for other sessions than one that holds more.
inline constexpr int SESSION_RESERVE = 2;
// How long a new connection may wait for its process's earlier ones.
inline constexpr std::chrono::milliseconds OWN_CONNECTION_WAIT{2000};

class PipeShares {
public:
    explicit PipeShares(int instances, std::chrono::nanoseconds wait = OWN_CONNECTION_WAIT);
    PipeShares(const PipeShares&) = delete;
    PipeShares& operator=(const PipeShares&) = delete;

    // One served connection, counted until it is destroyed.
    class Claim {
    public:
        Claim(Claim&& other) noexcept : shares_(std::exchange(other.shares_, nullptr)), key_(other.key_) {}
        Claim& operator=(Claim&&) = delete;
        ~Claim();

    private:
        friend class PipeShares;
        Claim(PipeShares* shares, PipeClientKey key) : shares_(shares), key_(key) {}
        PipeShares* shares_;
        PipeClientKey key_;
    };

    // The claim for a new connection from `key`, or none when it is to be
    // dropped. May block up to the wait given at construction.
    std::optional<Claim> admit(const PipeClientKey& key);

private:
    struct Count {
        int held = 0;
        bool waiting = false;
    };
    bool fits(const Count& process, const Count& session, bool self_waiting) const;
    void release(const PipeClientKey& key);

    const int instances_;
    const std::chrono::nanoseconds wait_;
    std::mutex mutex_;
    std::condition_variable released_;
    int held_ = 0;                                             // guarded by mutex_
    int waiting_ = 0;                                          // guarded by mutex_
    std::map<std::optional<std::uint32_t>, Count> processes_;  // guarded by mutex_
    std::map<std::optional<std::uint32_t>, Count> sessions_;   // guarded by mutex_
};

}  // namespace velmor
