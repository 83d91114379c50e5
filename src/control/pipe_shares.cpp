#include "control/pipe_shares.hpp"

namespace velmor {

PipeShares::PipeShares(int instances, std::chrono::nanoseconds finishing_wait)
    : instances_(instances), finishing_wait_(finishing_wait) {}

bool PipeShares::fits(const Count& process, const Count& session) const {
    const int free_after = instances_ - held_ - 1;
    if (process.held > 0 && 2 * free_after < instances_) return false;
    if (session.held > 0 && free_after < SESSION_RESERVE) return false;
    return true;
}

std::optional<PipeShares::Claim> PipeShares::admit(const PipeClientKey& key) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + finishing_wait_;
    bool waited = false;
    for (;;) {
        Count& process = processes_[key.process];
        Count& session = sessions_[key.session];
        if (fits(process, session)) {
            ++process.held;
            ++session.held;
            ++held_;
            if (waited) process.waiting = false;
            return Claim(this, key);
        }
        // Only a client with a connection whose reply is written is waited
        // for, and only one connection of it at a time: a client that keeps
        // silent connections gains one instance at most, for the wait.
        const bool may_wait = waited || (process.finishing > 0 && !process.waiting);
        if (!may_wait || std::chrono::steady_clock::now() >= deadline) {
            if (waited) process.waiting = false;
            if (process.held == 0 && !process.waiting) processes_.erase(key.process);
            if (session.held == 0) sessions_.erase(key.session);
            return std::nullopt;
        }
        process.waiting = true;
        waited = true;
        released_.wait_until(lock, deadline);
    }
}

void PipeShares::release(const PipeClientKey& key, bool finishing) {
    {
        std::lock_guard lock(mutex_);
        --held_;
        const auto process = processes_.find(key.process);
        if (process != processes_.end()) {
            --process->second.held;
            if (finishing) --process->second.finishing;
            if (process->second.held == 0 && !process->second.waiting) processes_.erase(process);
        }
        const auto session = sessions_.find(key.session);
        if (session != sessions_.end() && --session->second.held == 0) sessions_.erase(session);
    }
    released_.notify_all();
}

void PipeShares::mark_finishing(const PipeClientKey& key) {
    std::lock_guard lock(mutex_);
    ++processes_[key.process].finishing;
}

PipeShares::Claim::~Claim() {
    if (shares_ != nullptr) shares_->release(key_, finishing_);
}

void PipeShares::Claim::finishing() {
    if (shares_ == nullptr || finishing_) return;
    finishing_ = true;
    shares_->mark_finishing(key_);
}

}  // namespace velmor
