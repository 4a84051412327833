// The service on an MQTT broker (Debian's libmosquitto): every event of the
// line published as its watchers get it, the service's availability as a
// retained "online" with "offline" as its last will, Home Assistant's
// discovery configurations, and, when asked, requests from the broker answered
// there.
//
// The broker never holds the line. libmosquitto's network I/O, its connection
// and every reconnection (bounded back-off) run on a thread of the bridge's
// own, through mosquitto_loop() with the library in its threaded mode; the
// service's event loop only hands messages over (mosquitto_publish() queues
// them and wakes that thread) and learns from it through posted handlers. The
// thread may block where libmosquitto does (a host name resolved, a TLS
// handshake) without holding the line's thread or the event loop.
//
// MQTT 5: a request that names a response topic is answered there, with its
// correlation data, through a client of the service of its own (its answer,
// and any steps or progress ahead of it, go to that topic alone); one that
// names none is answered on the result topic, in the order of such requests.
// Requests are screened on the broker's thread: with --mqtt-commands off none
// is read at all, with it on each is bounded in size and parsed there, off
// the event loop, and what is posted to the loop is counted and bounded.
//
// What waits for the broker waits in a bounded queue, in order, and goes out
// when the broker is back; a full queue drops its oldest entry, counted and
// logged. QoS 1 throughout: a message the broker has not acknowledged is
// sent again after a reconnection (at least once).
#pragma once

#include "Server.h" // first: see there

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "Line.h"
#include "Mqtt.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace kelvord {

class MqttBridge {
public:
    using Log = std::function<void(const std::string&)>;

    // Reads the credentials and checks the TLS files; throws std::runtime_error
    // with why it cannot be set up.
    MqttBridge(boost::asio::io_context& io, Service& service, const LineOptions& line, mqtt::Options options,
               Log log);
    ~MqttBridge();
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Joins the service as a client that watches, and starts talking to the broker.
    void start();
    // Publishes "offline" (waiting a moment for the broker to take it), ends
    // the session and the thread. Called with the event loop no longer running.
    void stop();

    // Sizes, for the tests and the log.
    static constexpr int KEEPALIVE_S = 30;
    static constexpr int RECONNECT_MIN_MS = 250;
    static constexpr int RECONNECT_MAX_MS = 30000;
    static constexpr int CONNECT_TIMEOUT_MS = 10000;
    // Messages handed to libmosquitto and not yet acknowledged, at most.
    static constexpr size_t IN_FLIGHT_MAX = 64;
    // Bytes of requests from the broker on their way to the event loop, at most.
    static constexpr size_t INCOMING_BYTES_MAX = 16u << 20;
    // Requests, and refusals, on their way to the event loop at once, at most;
    // beyond, a request is refused, and a refusal beyond is dropped (counted).
    static constexpr size_t INCOMING_MAX = 256;
    // Requests with a response topic that wait for their answers, and their
    // bytes, at most; beyond, a request is refused.
    static constexpr size_t REPLIES_MAX = PENDING_REQUESTS_MAX;
    static constexpr size_t REPLIES_BYTES_MAX = PENDING_BYTES_MAX;
    // The bridge's own refusals waiting for the broker, at most: a flood of
    // requests pushes no event out of the queue. Beyond, a refusal is dropped.
    static constexpr size_t REFUSALS_QUEUED_MAX = 64;

private:
    class Link;
    class Reply;
    // Where the answer of one request goes: its response topic with its
    // correlation data, or (topic empty) the result topic.
    struct Route {
        std::string topic;
        std::optional<std::string> correlation;
    };
    struct Entry {
        std::vector<mqtt::Message> messages; // an event with its retained companion, or an answer
        size_t bytes = 0;
        bool refusal = false; // a request refused by the bridge itself
    };

    // The broker's thread.
    void run();
    void wait_before_retry(int ms);
    std::string failure_text(int rc, int savedErrno);
    void report_failure(const std::string& why);
    static void on_connect(struct mosquitto*, void* self, int rc, int flags, const struct mqtt5__property*);
    static void on_disconnect(struct mosquitto*, void* self, int rc);
    static void on_publish(struct mosquitto*, void* self, int mid);
    static void on_message(struct mosquitto*, void* self, const struct mosquitto_message* message,
                           const struct mqtt5__property* properties);
    void post_refusal(Route route, std::string line);
    static void on_log(struct mosquitto*, void* self, int level, const char* text);

    // The event loop's.
    void connected();
    void disconnected(const std::string& why);
    void acknowledged(int mid);
    void deliver(std::string line);
    void incoming(std::string payload, Route route);
    void refused(Route route, std::string line);
    void refusals_dropped(uint64_t n);
    void reply(Reply& reply, std::string line);
    void replied(const std::shared_ptr<Client>& reply);
    void message_for(const Route& route, std::string line, bool refusal = false);
    void enqueue(Entry entry);
    void pump();
    void publish(const mqtt::Message& m);
    void announce(uint32_t module);

    boost::asio::io_context& io_;
    Service& service_;
    mqtt::Options options_;
    Log log_;
    mqtt::Broker broker_;
    std::string line_;
    mqtt::Topics topics_;
    std::string brokerText_;
    struct mosquitto* m_ = nullptr;
    std::shared_ptr<Link> link_;

    // The broker's thread.
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> sessionUp_{false};
    std::atomic<size_t> incomingBytes_{0};
    std::atomic<size_t> incomingCount_{0};
    std::atomic<size_t> refusalsPosted_{0};
    std::atomic<uint64_t> refusalsDropped_{0};
    std::mutex mutex_; // guards what follows, and the waits
    std::condition_variable wake_;
    std::string refusal_;         // why the broker refused the last connection
    std::string libraryError_;    // libmosquitto's last error line
    std::string lastFailure_;     // logged once until it changes
    bool collectingAcks_ = false; // a stop waits for "offline" to be acknowledged
    std::set<int> stopAcks_;

    // The event loop's.
    bool connected_ = false;
    bool paused_ = false; // the service holds requests of the broker's for now
    // The requests with a response topic not yet answered, and their bytes.
    std::map<Client*, std::shared_ptr<Reply>> replies_;
    size_t repliesBytes_ = 0;
    std::deque<Entry> queue_;
    size_t queueBytes_ = 0;
    size_t refusalsQueued_ = 0;
    uint64_t refusalsUnlogged_ = 0; // dropped since the last warning
    std::chrono::steady_clock::time_point lastRefusalWarning_{};
    std::unordered_set<int> inFlight_;
    uint64_t dropped_ = 0;          // since the start
    uint64_t droppedUnlogged_ = 0;  // since the last warning
    uint64_t droppedWhileAway_ = 0; // since the broker was last there
    std::chrono::steady_clock::time_point lastDropWarning_{};
    std::set<uint32_t> modules_; // the modules announced to Home Assistant
    std::optional<std::string> lineState_;
    std::map<uint32_t, std::string> identified_;
};

} // namespace kelvord
