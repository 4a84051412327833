// The clients' side of the service on one event loop (Boost.Asio): a client
// of any transport hands over request lines and takes answer and event lines;
// the service answers each client in the order of its requests and sends
// events to the clients that watch. Every buffer of a client is bounded: one
// that stops reading is dropped, one that sends faster than the line serves
// is read no further until its answers have caught up.
#pragma once

// The wire vocabulary before Asio: <netdb.h>, which Asio includes, defines
// names of the vocabulary (TRY_AGAIN) as macros.
#include "Line.h"
#include "Protocol.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace kelvord {

class Directory;

struct ServiceOptions {
    size_t maxClients = 64;
    size_t clientBuffer = 1u << 20; // bytes waiting for a client that does not read
    std::string token;              // what a client that must authenticate presents
    bool verbose = false;
    Directory* directory = nullptr; // the directory of people, when the service keeps one
    // Clients not yet authenticated at once, in all and from one address.
    size_t maxUnauthenticated = 8;
    size_t maxUnauthenticatedPerAddress = 4;
};

// Requests of one client that may wait for the line at once, and their bytes;
// beyond either the client is read no further until its answers come.
inline constexpr size_t PENDING_REQUESTS_MAX = 256;
inline constexpr size_t PENDING_BYTES_MAX = 16u << 20;
// Events posted into the loop from the line's thread and not yet run; beyond
// them events are dropped (and counted) until the loop has caught up.
inline constexpr size_t EVENTS_POSTED_MAX = 4096;

class Service;

// A client connection of any transport: lines in, lines out.
class Client : public std::enable_shared_from_this<Client> {
public:
    virtual ~Client() = default;
    // Queues one line for the client (the transport adds its end).
    virtual void send(std::string line) = 0;
    // Queues a last line, then closes once it has gone.
    virtual void send_and_close(std::string line) = 0;
    virtual void close() = 0;
    // Reading stops (too much is pending) or goes on.
    virtual void pause_reading(bool pause) = 0;
    virtual const std::string& name() const = 0;
    virtual size_t queued_bytes() const { return 0; } // bytes of lines queued and not yet written

    bool watching = false;
    bool authenticated = true;
    bool closing = false;
    // The address a remote client connects from; empty for a local one (the
    // Unix socket's, authorised by its mode), whose slots no remote client takes.
    std::string address;

private:
    friend class Service;
    uint64_t nextSlot_ = 0;                 // the slot of the next request
    uint64_t firstSlot_ = 0;                // the slot whose answer goes out next
    std::map<uint64_t, std::string> ready_; // answers waiting for earlier ones
    size_t heldBytes_ = 0;                  // their bytes
    size_t pendingBytes_ = 0;
    bool paused_ = false;
    // Which of the service's budgets the client's slot is in.
    enum class Slot { None, Stranger, Remote, Local } slot_ = Slot::None;
};

class Service {
public:
    using Log = std::function<void(const std::string&)>;
    Service(boost::asio::io_context& io, Line& line, ServiceOptions options, Log log);

    // A client connected; false when it is one too many (it is told so and closed).
    // A remote client not yet authenticated takes one of the few slots of
    // strangers (--max-unauthenticated, and fewer per address); added again
    // once it has authenticated, it moves to one of the --max-clients slots of
    // remote clients. Local clients have --max-clients slots of their own.
    bool add(const std::shared_ptr<Client>& client);
    void remove(Client* client);
    // One request line of the client (without its line end).
    void request(const std::shared_ptr<Client>& client, std::string_view line);
    // A line too long to be a request: answered as malformed.
    void oversized(const std::shared_ptr<Client>& client);
    // An event's line to every watching client; may be called from any thread.
    void publish(std::string line);
    // Whether a client still has answers coming (its requests not all answered).
    static bool answers_pending(const Client& client) { return client.firstSlot_ != client.nextSlot_; }

    const ServiceOptions& options() const { return options_; }
    void log(const std::string& text) const { log_(text); }
    size_t clients() const { return clients_.size(); }
    // Events dropped so far because the loop had too many to run.
    uint64_t events_dropped() const { return eventsDropped_.load(); }

private:
    // The answer of the request in `slot`, which held `bytes` of the client's
    // pending ones; one that cannot fit the client's buffer is replaced by an
    // error for `id`.
    void answer(const std::shared_ptr<Client>& client, uint64_t slot, std::string line, size_t bytes,
                const Json& id = nullptr);
    void authenticate(const std::shared_ptr<Client>& client, std::string_view line);
    // Runs `event` on the loop, unless too many wait there already; any thread.
    void post_event(std::function<void()> event);
    // A stranger's slot given back: it authenticated, or went.
    void release_stranger(const Client& client);
    std::string devices_answer(const Json& id) const;
    std::string directory_answer(const Json& id, const Request& request);
    void submit_work(const std::shared_ptr<Client>& client, uint64_t slot, const Json& id,
                     WorkRequest request, size_t requestBytes);

    boost::asio::io_context& io_;
    Line& line_;
    ServiceOptions options_;
    Log log_;
    std::set<std::shared_ptr<Client>> clients_;
    // The clients of each budget, strangers by address too.
    size_t strangers_ = 0;
    size_t remoteClients_ = 0;
    size_t localClients_ = 0;
    std::map<std::string, size_t> strangersAt_;
    // Strangers refused: a line in the log a second at most, with the count since the last.
    std::chrono::steady_clock::time_point refusalLogged_{};
    uint64_t refusalsUnlogged_ = 0;
    std::atomic<size_t> eventsPosted_{0};
    std::atomic<uint64_t> eventsDropped_{0};
    std::atomic<uint64_t> burstDropped_{0}; // dropped since the loop last caught up
};

} // namespace kelvord
