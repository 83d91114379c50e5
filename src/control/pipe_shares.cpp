#include "control/pipe_shares.hpp"

namespace velmor {

PipeShares::PipeShares(int instances, std::chrono::nanoseconds wait) : instances_(instances), wait_(wait) {}

bool PipeShares::fits(const Count& process, const Count& session, bool self_waiting) const {
    // A connection that waits holds its instance too.
    const int free_after = instances_ - held_ - (waiting_ - (self_waiting ? 1 : 0)) - 1;
    if (process.held > 0 && 2 * free_after < instances_) return false;
    if (session.held > 0 && free_after < SESSION_RESERVE) return false;
    return true;
}

std::optional<PipeShares::Claim> PipeShares::admit(const PipeClientKey& key) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + wait_;
    bool waiting = false;
    for (;;) {
        Count& process = processes_[key.process];
        Count& session = sessions_[key.session];
        const bool admitted = fits(process, session, waiting);
        const bool may_wait = waiting || (process.held > 0 && !process.waiting);
        if (admitted || !may_wait || std::chrono::steady_clock::now() >= deadline) {
            if (waiting) {
                process.waiting = false;
                --waiting_;
            }
            if (admitted) {
                ++process.held;
                ++session.held;
                ++held_;
                return Claim(this, key);
            }
            // An entry stays while another connection of it waits.
            if (process.held == 0 && !process.waiting) processes_.erase(key.process);
            if (session.held == 0) sessions_.erase(key.session);
            return std::nullopt;
        }
        // Waits for a connection of its own process to go, then looks again.
        if (!waiting) {
            waiting = true;
            process.waiting = true;
            ++waiting_;
        }
        released_.wait_until(lock, deadline);
    }
}

void PipeShares::release(const PipeClientKey& key) {
    {
        std::lock_guard lock(mutex_);
        --held_;
        const auto process = processes_.find(key.process);
        if (process != processes_.end() && --process->second.held == 0 && !process->second.waiting)
            processes_.erase(process);
        const auto session = sessions_.find(key.session);
        if (session != sessions_.end() && --session->second.held == 0) sessions_.erase(session);
    }
    released_.notify_all();
}

PipeShares::Claim::~Claim() {
    if (shares_ != nullptr) shares_->release(key_);
}

}  // namespace velmor
