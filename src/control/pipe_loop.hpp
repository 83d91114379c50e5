#pragma once
// The control pipe's claim-and-serve loop, over the calls that make and
// serve its instances (pipe_server_win32.cpp makes them). The server claims
// the name by making the first instance, makes every further one while users
// may neither connect nor add one, lets clients in, and serves each instance
// on a thread of its own for the rest of the process: an instance is reused
// between clients and never made again, and one that is lost stays held and
// is no longer served, so that nobody else can add one in its place.
// Portable; the shares take the primitives as a parameter so that the
// interleaving explorer can run the same code.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"
#include "control/pipe_exchange.hpp"
#include "control/pipe_server.hpp"
#include "control/pipe_shares.hpp"
#include "env/log.hpp"

namespace velmor {

// Why making the pipe's instances failed.
enum class PipeCreateFailure {
    descriptor,  // the descriptor could not be built: nothing can be served
    taken,       // the first instance: someone else holds the name
    instance,    // a further instance could not be made
};

struct PipeCreateError {
    PipeCreateFailure failure;
    Error error;
};

// Attempts at each further instance before the server gives up; a restart
// of the service makes them all anew.
inline constexpr int INSTANCE_ATTEMPTS = 10;

// The pipe as a whole, on the server's first thread.
class PipeInstances {
public:
    virtual ~PipeInstances() = default;
    // Makes the instances that are missing, up to all there may be, the first
    // claiming the name, all closed to users; what was made stays when one
    // fails.
    virtual std::optional<PipeCreateError> add_instances() = 0;
    virtual std::size_t count() const = 0;
    // Lets users connect.
    virtual Result<> open_to_clients() = 0;
    // The process that holds the name, when the system says which.
    virtual std::optional<std::uint32_t> holder() = 0;
    // Starts a thread that serves instance `index` (serve_instance); the
    // error when it does not run.
    virtual Result<> start_serving(std::size_t index) = 0;
    // Serves instance `index` on the calling thread (serve_instance).
    virtual void serve(std::size_t index) = 0;
    // Between two attempts.
    virtual void pause() = 0;
};

// One instance, on the thread that serves it.
class PipeInstance {
public:
    virtual ~PipeInstance() = default;
    // What serving clients needs besides the instance (their time bounds),
    // once, before the first.
    virtual Result<> prepare() = 0;
    // Waits for a client; a client that came (and perhaps went) before the
    // call counts as connected.
    virtual Result<> connect() = 0;
    // Lets the client go, the reply read by then or lost.
    virtual Result<> disconnect() = 0;
    // Who the connected client is, as far as the system says.
    virtual PipeClientKey client() = 0;
    // Serves the connected client's request; nothing escapes it.
    virtual ExchangeEnd exchange() = 0;
    virtual void pause() = 0;
};

// Claims the name and makes every instance: the taken-name policy (console
// mode gives up at once; the service says so once per episode, with one line
// and one event, tells the host through waiting_for_name, and tries again
// until the name is free), the descriptor, and a further instance that cannot
// be made. A server that gives up tells host.ended, then sets the stop flag.
// Sets `waited` when the name was taken before it was held. Nothing reaches
// the log file before the name is held: the host opens it afterwards, so a
// line written before goes to standard error alone, and a refused helper
// touches no other helper's log.
bool claim_pipe_name(PipeInstances& pipe, const PipeServerHost& host, bool& waited);

// Logs and reports (pipe_instance_lost) that an instance is no longer
// served: "pipe instance lost: {cause}; now serving {served} instances".
void report_instance_lost(const std::string& cause, int served);

// Tells the host why the server gives up, then sets the stop flag.
void give_up(const PipeServerHost& host, PipeServerEnd end, const Error& error);

inline constexpr std::string_view PIPE_OUT_OF_MEMORY_LINE = "pipe handle error: request dropped: out of memory";

// "process N", or "an unknown process".
std::string describe_client(const PipeClientKey& key);

// The holder as the pipe alone tells it: "process N" with "end that process
// first", or "an unknown process" with "end the program that holds it first".
PipeHolder plain_pipe_holder(std::optional<std::uint32_t> process);

// Serves client after client on `instance` until the stop flag is set, or
// until the instance is lost: then it is taken off `shares` and reported.
// A connection beyond its client's fair share is dropped at once.
template <class Sync>
void serve_instance(PipeInstance& instance, BasicPipeShares<Sync>& shares, const PipeServerHost& host) {
    // An instance whose client cannot be let go can serve nobody else.
    const auto let_go = [&] {
        Result<> done = instance.disconnect();
        if (!done) report_instance_lost(done.error().one_line(), shares.lose_instance());
        return done.has_value();
    };
    if (Result<> started = instance.prepare(); !started) {
        // Without time bounds a client could hold the thread for ever.
        report_instance_lost("its clients would have no time bounds: " + started.error().one_line(),
                             shares.lose_instance());
        return;
    }
    for (;;) {
        if (host.stop_requested->load()) return;
        try {
            if (Result<> connected = instance.connect(); !connected) {
                log_client_message("pipe accept error: " + connected.error().full_description());
                if (!let_go()) return;
                instance.pause();
                continue;
            }
            const PipeClientKey key = instance.client();
            std::optional<typename BasicPipeShares<Sync>::Claim> claim = shares.admit(key);
            if (!claim) {
                if (!let_go()) return;
                log_client_message("pipe handle error: connection dropped: " + describe_client(key) +
                                   " holds its share of the pipe");
                continue;
            }
            const ExchangeEnd end = instance.exchange();
            // The client has read its reply and may be back at once: its
            // share is free again before the instance is.
            if (end.reply_taken) claim.reset();
            const bool kept = let_go();
            claim.reset();
            if (end.out_of_memory) log_client_message(PIPE_OUT_OF_MEMORY_LINE);
            else if (end.error) log_client_message("pipe handle error: " + end.error->full_description());
            if (!kept) return;
        } catch (const std::bad_alloc&) {
            // Between clients (an error text, a share): the connection, if
            // any, is dropped and the thread tries again after a pause.
            if (!let_go()) return;
            log_client_message(PIPE_OUT_OF_MEMORY_LINE);
            instance.pause();
        }
    }
}

// The whole server from the calling thread: claim_pipe_name; host.claimed;
// the pipe opened to clients; host.serving; a thread for each further
// instance; the first instance served on this thread. `shares` is built with
// every instance the pipe allows; each that is not served is taken off.
template <class Sync>
void serve_pipe_instances(PipeInstances& pipe, BasicPipeShares<Sync>& shares, const PipeServerHost& host) {
    bool waited = false;
    if (!claim_pipe_name(pipe, host, waited)) return;
    if (host.claimed && !host.claimed(waited)) return;
    if (Result<> opened = pipe.open_to_clients(); !opened) {
        const Error error = opened.error().context("pipe not opened to clients");
        log_message(LogLevel::error, error.full_description());
        give_up(host, PipeServerEnd::failed, error);
        return;
    }
    if (host.serving) host.serving();
    for (std::size_t i = 1; i < pipe.count(); ++i) {
        // Fewer clients side by side, but still served; the instance stays
        // held.
        if (Result<> started = pipe.start_serving(i); !started)
            report_instance_lost("serving thread not started: " + started.error().one_line(), shares.lose_instance());
    }
    pipe.serve(0);
}

}  // namespace velmor
