#include "MqttBridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "Options.h"

namespace kelvord {

namespace {

using Clock = std::chrono::steady_clock;

// How long the event loop's wait on libmosquitto's socket lasts at most: the
// thread looks at its stop and its connection's time-out this often.
constexpr int LOOP_WAIT_MS = 200;
// How long a stop waits for the broker to take "offline".
constexpr int OFFLINE_WAIT_MS = 2000;
// A warning of dropped entries at most this often (the first at once).
constexpr auto DROP_WARNING_EVERY = std::chrono::seconds(10);

void library_init() {
    static const int once = [] { return mosquitto_lib_init(); }();
    (void)once;
}

// A file that must be readable at the start, named in the refusal.
void require_readable(const std::string& path, const char* what) {
    if (path.empty()) return;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        throw std::runtime_error(std::string("cannot read ") + what + " " + path + ": " +
                                 std::strerror(errno));
    std::fclose(f);
}

std::string host_name() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || !name[0]) return "host";
    return mqtt::ha_id(name);
}

} // namespace

// The bridge as a client of the service: it watches (every event comes to
// send()), and the answers of the requests it passes on come the same way.
class MqttBridge::Link final : public Client {
public:
    explicit Link(MqttBridge& bridge) : bridge_(bridge) { watching = true; }
    void send(std::string line) override { bridge_.deliver(std::move(line)); }
    void send_and_close(std::string line) override { bridge_.deliver(std::move(line)); }
    void close() override {}
    void pause_reading(bool pause) override { bridge_.paused_ = pause; }
    const std::string& name() const override { return name_; }

private:
    MqttBridge& bridge_;
    std::string name_ = "mqtt";
};

// A client of the service for one request that named a response topic:
// every line the service has for it (steps, progress, the answer) goes to
// that topic alone. It watches nothing; it lasts until its answer has come.
class MqttBridge::Reply final : public Client {
public:
    Reply(MqttBridge& bridge, Route to, size_t requestBytes)
        : route(std::move(to)), bytes(requestBytes), bridge_(bridge) {
        authenticated = true; // by the broker
    }
    void send(std::string line) override { bridge_.reply(*this, std::move(line)); }
    void send_and_close(std::string line) override { bridge_.reply(*this, std::move(line)); }
    void close() override {}
    void pause_reading(bool) override {} // one request: the bridge bounds how many wait
    const std::string& name() const override { return name_; }

    const Route route;
    const size_t bytes;

private:
    MqttBridge& bridge_;
    std::string name_ = "mqtt";
};

MqttBridge::MqttBridge(boost::asio::io_context& io, Service& service, const LineOptions& line,
                       mqtt::Options options, Log log)
    : io_(io), service_(service), options_(std::move(options)), log_(std::move(log)),
      line_(mqtt::line_name(line.settings.port)), topics_(options_.prefix, line_) {
    std::string why;
    if (!mqtt::parse_url(options_.url, broker_, why)) throw std::runtime_error(why);
    brokerText_ = mqtt::broker_text(broker_);
    // The modules Home Assistant hears of from the start; others when they send.
    if (!line.modules.empty())
        modules_.insert(line.modules.begin(), line.modules.end());
    else
        modules_.insert(line.settings.network == 1 ? line.settings.moduleId : 0u);
    if (options_.discoveryPrefix.empty()) modules_.clear();

    mqtt::Credentials credentials;
    if (!options_.credentialsFile.empty()) {
        const std::optional<std::string> text =
            read_private_file(options_.credentialsFile, "the credentials file", why);
        if (!text) throw std::runtime_error(why);
        if (!mqtt::parse_credentials(*text, credentials, why))
            throw std::runtime_error("the credentials file " + options_.credentialsFile + " " + why);
    }
    require_readable(options_.caFile, "the CA file");
    require_readable(options_.certFile, "the client certificate");
    require_readable(options_.keyFile, "the client key");

    library_init();
    std::string clientId = options_.clientId;
    if (clientId.empty()) clientId = ("kelvord-" + host_name() + "-" + mqtt::ha_id(line_)).substr(0, 128);
    m_ = mosquitto_new(clientId.c_str(), true, this);
    if (!m_) throw std::runtime_error("cannot set up an MQTT client: " + std::string(std::strerror(errno)));
    mosquitto_threaded_set(m_, true);
    // MQTT 5: a request's response topic and correlation data.
    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Events go out as they come, not gathered by Nagle's algorithm.
    mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
    const std::string status = topics_.status();
    int rc = mosquitto_will_set(m_, status.c_str(), 7, "offline", 1, true);
    if (rc == MOSQ_ERR_SUCCESS && !credentials.user.empty())
        rc = mosquitto_username_pw_set(m_, credentials.user.c_str(),
                                       credentials.password.empty() ? nullptr : credentials.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && broker_.tls) {
        // The system's CAs (OpenSSL's hashed directory) unless one is named.
        rc = mosquitto_tls_set(m_, options_.caFile.empty() ? nullptr : options_.caFile.c_str(),
                               options_.caFile.empty() ? "/etc/ssl/certs" : nullptr,
                               options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
                               options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(m_);
        m_ = nullptr;
        throw std::runtime_error(std::string("cannot set up the MQTT client: ") + mosquitto_strerror(rc));
    }
    mosquitto_connect_v5_callback_set(m_, &MqttBridge::on_connect);
    mosquitto_disconnect_callback_set(m_, &MqttBridge::on_disconnect);
    mosquitto_publish_callback_set(m_, &MqttBridge::on_publish);
    mosquitto_message_v5_callback_set(m_, &MqttBridge::on_message);
    mosquitto_log_callback_set(m_, &MqttBridge::on_log);
}

MqttBridge::~MqttBridge() {
    stop();
    if (m_) mosquitto_destroy(m_);
}

void MqttBridge::start() {
    link_ = std::make_shared<Link>(*this);
    if (!service_.add(link_)) throw std::runtime_error("the service took no MQTT client (--max-clients)");
    log_("mqtt: publishing to " + brokerText_ + (broker_.tls ? " (TLS)" : "") + " under " + topics_.base() +
         (options_.commands ? ", requests taken on " + topics_.command() + " and " + topics_.request() : ""));
    thread_ = std::thread([this] { run(); });
}

void MqttBridge::stop() {
    if (!thread_.joinable()) return;
    if (sessionUp_) {
        // Said rather than left to the last will: the broker tells at once.
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopAcks_.clear();
            collectingAcks_ = true;
        }
        int mid = -1;
        const std::string status = topics_.status();
        const int rc = mosquitto_publish(m_, &mid, status.c_str(), 7, "offline", 1, true);
        std::unique_lock<std::mutex> lock(mutex_);
        if (rc == MOSQ_ERR_SUCCESS)
            wake_.wait_for(lock, std::chrono::milliseconds(OFFLINE_WAIT_MS),
                           [this, mid] { return stopAcks_.count(mid) > 0 || !sessionUp_; });
        collectingAcks_ = false;
        lock.unlock();
        mosquitto_disconnect(m_);
    }
    stopping_ = true;
    wake_.notify_all();
    thread_.join();
    if (link_) service_.remove(link_.get());
    replies_.clear();
}

// ------------------------------------------------------------------ the broker's thread

void MqttBridge::run() {
    ::pthread_setname_np(::pthread_self(), "kelvord-mqtt");
    int backoff = RECONNECT_MIN_MS;
    bool first = true;
    while (!stopping_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            refusal_.clear();
            libraryError_.clear();
        }
        errno = 0;
        int rc = first ? mosquitto_connect_async(m_, broker_.host.c_str(), broker_.port, KEEPALIVE_S)
                       : mosquitto_reconnect_async(m_);
        int savedErrno = errno;
        first = false;
        bool up = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            const auto started = Clock::now();
            while (!stopping_) {
                errno = 0;
                rc = mosquitto_loop(m_, LOOP_WAIT_MS, 1);
                savedErrno = errno;
                up = up || sessionUp_;
                if (rc != MOSQ_ERR_SUCCESS) break;
                if (!up && Clock::now() - started > std::chrono::milliseconds(CONNECT_TIMEOUT_MS)) {
                    rc = MOSQ_ERR_TIMEOUT;
                    break;
                }
            }
        }
        if (stopping_) break;
        sessionUp_ = false;
        if (up) {
            backoff = RECONNECT_MIN_MS;
        } else {
            report_failure(failure_text(rc, savedErrno));
        }
        wait_before_retry(backoff);
        backoff = std::min(backoff * 2, RECONNECT_MAX_MS);
    }
    sessionUp_ = false;
}

void MqttBridge::wait_before_retry(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_.load(); });
}

std::string MqttBridge::failure_text(int rc, int savedErrno) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!refusal_.empty()) return refusal_;
    if (rc == MOSQ_ERR_TIMEOUT)
        return "no answer within " + std::to_string(CONNECT_TIMEOUT_MS / 1000) +
               " s (is it an MQTT broker, and TLS where the URL says mqtts?)";
    if (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) {
        std::string why = "TLS failed";
        if (!libraryError_.empty()) why += ": " + libraryError_;
        if (libraryError_.find("certificate verify failed") != std::string::npos)
            why += " (the broker's certificate is not signed by " +
                   (options_.caFile.empty() ? std::string("a CA the system trusts") : options_.caFile) +
                   ", or names another host)";
        return why;
    }
    if (rc == MOSQ_ERR_EAI) return "cannot resolve " + broker_.host;
    if (rc == MOSQ_ERR_ERRNO && savedErrno != 0) return std::strerror(savedErrno);
    if (!libraryError_.empty()) return std::string(mosquitto_strerror(rc)) + " (" + libraryError_ + ")";
    return mosquitto_strerror(rc);
}

void MqttBridge::report_failure(const std::string& why) {
    bool changed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        changed = why != lastFailure_;
        lastFailure_ = why;
    }
    if (changed)
        log_("mqtt: cannot connect to " + brokerText_ + ": " + why + "; trying again, every " +
             std::to_string(RECONNECT_MAX_MS / 1000) + " s at most");
}

void MqttBridge::on_connect(struct mosquitto* m, void* self, int rc, int, const mosquitto_property*) {
    auto* b = static_cast<MqttBridge*>(self);
    if (rc != 0) {
        // MQTT 5's reason codes; a broker of 3.1.1 answers with its own.
        std::string why = std::string("the broker refused the connection: ") +
                          (rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc));
        if (rc == 4 || rc == 5 || rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD || rc == MQTT_RC_NOT_AUTHORIZED)
            why += b->options_.credentialsFile.empty()
                       ? " (it wants a user name: --mqtt-credentials)"
                       : " (check the user name and password in " + b->options_.credentialsFile + ")";
        std::lock_guard<std::mutex> lock(b->mutex_);
        b->refusal_ = why;
        return;
    }
    b->sessionUp_ = true;
    {
        std::lock_guard<std::mutex> lock(b->mutex_);
        b->lastFailure_.clear();
    }
    // The requests' topic is taken whether or not they are carried out: a
    // request is then answered with why not.
    const std::string command = b->topics_.command();
    const std::string request = b->topics_.request();
    mosquitto_subscribe(m, nullptr, command.c_str(), 1);
    mosquitto_subscribe(m, nullptr, request.c_str(), 1);
    boost::asio::post(b->io_, [b] { b->connected(); });
}

void MqttBridge::on_disconnect(struct mosquitto*, void* self, int rc) {
    auto* b = static_cast<MqttBridge*>(self);
    if (!b->sessionUp_.exchange(false)) return;
    std::string why = rc == 0 ? "the session ended" : mosquitto_strerror(rc);
    {
        std::lock_guard<std::mutex> lock(b->mutex_);
        if (rc != 0 && !b->libraryError_.empty()) why += " (" + b->libraryError_ + ")";
        b->wake_.notify_all();
    }
    if (!b->stopping_) boost::asio::post(b->io_, [b, why] { b->disconnected(why); });
}

void MqttBridge::on_publish(struct mosquitto*, void* self, int mid) {
    auto* b = static_cast<MqttBridge*>(self);
    {
        std::lock_guard<std::mutex> lock(b->mutex_);
        if (b->collectingAcks_) {
            b->stopAcks_.insert(mid);
            b->wake_.notify_all();
        }
    }
    boost::asio::post(b->io_, [b, mid] { b->acknowledged(mid); });
}

void MqttBridge::on_message(struct mosquitto*, void* self, const struct mosquitto_message* message,
                            const mosquitto_property* properties) {
    auto* b = static_cast<MqttBridge*>(self);
    if (!message || !message->topic) return;
    if (b->topics_.command() != message->topic && b->topics_.request() != message->topic) return;

    // Where its answer goes: the response topic it names (MQTT 5), checked,
    // with its correlation data; else the result topic.
    Route route;
    std::string refusal;
    char* responseTopic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false)) {
        const std::string topic = responseTopic ? responseTopic : "";
        std::free(responseTopic);
        std::string why;
        if (mqtt::valid_response_topic(topic, b->topics_, why))
            route.topic = topic;
        else
            refusal = "the response topic is refused: " + why;
    }
    void* correlation = nullptr;
    uint16_t correlationBytes = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &correlation,
                                       &correlationBytes, false)) {
        if (correlationBytes > mqtt::CORRELATION_BYTES_MAX) {
            if (refusal.empty())
                refusal = "the correlation data is longer than " +
                          std::to_string(mqtt::CORRELATION_BYTES_MAX) + " bytes";
        } else if (!route.topic.empty()) {
            route.correlation.emplace(static_cast<const char*>(correlation), correlationBytes);
        }
        std::free(correlation);
    }
    if (!refusal.empty()) {
        b->post_refusal(Route{}, error_line(nullptr, refusal));
        return;
    }

    // With requests off nothing of the payload is read. With them on, one
    // longer than a request may be is refused by its size alone, and so is
    // one that arrives while the event loop has not yet taken those before it.
    const size_t n = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
    const std::string_view payload(static_cast<const char*>(message->payload), message->payload ? n : 0);
    if (!b->options_.commands || n > REQUEST_BYTES_MAX) {
        const mqtt::Screened s = mqtt::screen_command(payload, b->options_.commands, !route.topic.empty());
        b->post_refusal(std::move(route), error_line(s.id, s.refusal));
        return;
    }
    if (b->incomingCount_.fetch_add(1) >= INCOMING_MAX) {
        --b->incomingCount_;
        b->post_refusal(std::move(route),
                        error_line(nullptr, "too many requests arrive at once; try again later"));
        return;
    }
    if (b->incomingBytes_.fetch_add(n) + n > INCOMING_BYTES_MAX) {
        b->incomingBytes_ -= n;
        --b->incomingCount_;
        b->post_refusal(std::move(route),
                        error_line(nullptr, "too many requests arrive at once; try again later"));
        return;
    }
    // Parsed here, on the broker's thread: the event loop gets only requests
    // the service will carry out.
    const mqtt::Screened s = mqtt::screen_command(payload, true, !route.topic.empty());
    if (!s.pass) {
        b->incomingBytes_ -= n;
        --b->incomingCount_;
        b->post_refusal(std::move(route), error_line(s.id, s.refusal));
        return;
    }
    boost::asio::post(b->io_, [b, route = std::move(route), text = std::string(payload)]() mutable {
        b->incomingBytes_ -= text.size();
        --b->incomingCount_;
        b->incoming(std::move(text), std::move(route));
    });
}

void MqttBridge::post_refusal(Route route, std::string line) {
    if (refusalsPosted_.fetch_add(1) >= INCOMING_MAX) {
        --refusalsPosted_;
        ++refusalsDropped_;
        return;
    }
    boost::asio::post(io_, [this, route = std::move(route), line = std::move(line)]() mutable {
        --refusalsPosted_;
        refused(std::move(route), std::move(line));
    });
}

void MqttBridge::on_log(struct mosquitto*, void* self, int level, const char* text) {
    if (!text || !(level & (MOSQ_LOG_ERR | MOSQ_LOG_WARNING))) return;
    auto* b = static_cast<MqttBridge*>(self);
    std::lock_guard<std::mutex> lock(b->mutex_);
    b->libraryError_ = std::string(text).substr(0, 512);
}

// ------------------------------------------------------------------ the event loop's

void MqttBridge::connected() {
    if (!sessionUp_) return; // gone again already: its disconnection follows
    connected_ = true;
    std::string text = "mqtt: connected to " + brokerText_;
    if (droppedWhileAway_ > 0)
        text += "; " + std::to_string(droppedWhileAway_) + " of the entries that waited were dropped (" +
                std::to_string(dropped_) + " since the start)";
    if (!queue_.empty()) text += "; " + std::to_string(queue_.size()) + " entries waited and go out now";
    log_(text);
    droppedWhileAway_ = 0;
    // What a broker that started afresh has lost: the retained state first,
    // then what waited, in its order.
    publish({topics_.status(), "online", true, std::nullopt});
    for (const uint32_t module : modules_)
        for (const mqtt::Message& m : mqtt::discovery(topics_, options_.discoveryPrefix, line_, module))
            publish(m);
    if (lineState_) publish({topics_.state(), *lineState_, true, std::nullopt});
    for (const auto& [module, event] : identified_)
        publish({topics_.identified(module), event, true, std::nullopt});
    pump();
}

void MqttBridge::disconnected(const std::string& why) {
    if (!connected_) return;
    connected_ = false;
    log_("mqtt: lost the broker " + brokerText_ + ": " + why + "; events wait (at most " +
         std::to_string(options_.queueMax) + ") and it is tried again");
}

void MqttBridge::acknowledged(int mid) {
    inFlight_.erase(mid);
    pump();
}

void MqttBridge::deliver(std::string line) {
    Entry entry;
    if (!mqtt::is_event_line(line)) {
        // An answer to a request of the broker's.
        entry.messages.push_back({topics_.result(), std::move(line), false, std::nullopt});
    } else {
        const std::optional<mqtt::EventRoute> route = mqtt::route_event(line);
        if (!route) return;
        if (route->module != 0 && !options_.discoveryPrefix.empty() && !modules_.count(route->module))
            announce(route->module);
        if (route->lineState) {
            lineState_ = line;
            entry.messages.push_back({topics_.state(), line, true, std::nullopt});
        } else if (route->identified) {
            identified_[route->module] = line;
            entry.messages.push_back({topics_.identified(route->module), line, true, std::nullopt});
        }
        entry.messages.insert(entry.messages.begin(),
                              {topics_.event(route->module), std::move(line), false, std::nullopt});
    }
    for (const mqtt::Message& m : entry.messages) entry.bytes += m.topic.size() + m.payload.size();
    enqueue(std::move(entry));
    pump();
}

void MqttBridge::announce(uint32_t module) {
    modules_.insert(module);
    log_("mqtt: module " + std::to_string(module) + " announced to Home Assistant");
    if (connected_)
        for (const mqtt::Message& m : mqtt::discovery(topics_, options_.discoveryPrefix, line_, module))
            publish(m);
}

void MqttBridge::message_for(const Route& route, std::string line, bool refusal) {
    if (refusal && refusalsQueued_ >= REFUSALS_QUEUED_MAX) {
        refusals_dropped(1);
        return;
    }
    Entry entry;
    entry.refusal = refusal;
    if (route.topic.empty())
        entry.messages.push_back({topics_.result(), std::move(line), false, std::nullopt});
    else
        entry.messages.push_back({route.topic, std::move(line), false, route.correlation});
    const mqtt::Message& m = entry.messages.front();
    entry.bytes = m.topic.size() + m.payload.size() + (m.correlation ? m.correlation->size() : 0);
    enqueue(std::move(entry));
    pump();
}

void MqttBridge::refused(Route route, std::string line) {
    if (const uint64_t dropped = refusalsDropped_.exchange(0)) refusals_dropped(dropped);
    message_for(route, std::move(line), true);
}

void MqttBridge::refusals_dropped(uint64_t n) {
    refusalsUnlogged_ += n;
    const auto now = Clock::now();
    if (lastRefusalWarning_ != Clock::time_point{} && now - lastRefusalWarning_ < DROP_WARNING_EVERY) return;
    log_("mqtt: " + std::to_string(refusalsUnlogged_) +
         " refusals of requests dropped: too many requests arrived at once");
    refusalsUnlogged_ = 0;
    lastRefusalWarning_ = now;
}

void MqttBridge::incoming(std::string payload, Route route) {
    if (route.topic.empty()) {
        // Answered on the result topic, in the order of such requests, as ever.
        if (paused_) {
            message_for(route, error_line(nullptr, "too many requests wait for the line; try again later"));
            return;
        }
        service_.request(link_, payload);
        return;
    }
    if (replies_.size() >= REPLIES_MAX || repliesBytes_ + payload.size() > REPLIES_BYTES_MAX) {
        message_for(route, error_line(nullptr, "too many requests wait for the line; try again later"));
        return;
    }
    auto reply = std::make_shared<Reply>(*this, std::move(route), payload.size());
    replies_.emplace(reply.get(), reply);
    repliesBytes_ += reply->bytes;
    service_.request(reply, payload);
}

void MqttBridge::reply(Reply& r, std::string line) {
    message_for(r.route, std::move(line));
    // The service counts the answer given once this returns: looked at then.
    const std::weak_ptr<Client> weak = r.shared_from_this();
    boost::asio::post(io_, [this, weak] {
        if (const auto alive = weak.lock()) replied(alive);
    });
}

void MqttBridge::replied(const std::shared_ptr<Client>& reply) {
    if (Service::answers_pending(*reply) && !reply->closing) return; // steps or progress ahead of it
    const auto it = replies_.find(reply.get());
    if (it == replies_.end()) return;
    repliesBytes_ -= std::min(repliesBytes_, it->second->bytes);
    replies_.erase(it);
}

void MqttBridge::enqueue(Entry entry) {
    // The oldest go first when the queue is full, by count or by bytes.
    while (!queue_.empty() &&
           (queue_.size() >= options_.queueMax || queueBytes_ + entry.bytes > mqtt::QUEUE_BYTES_MAX)) {
        queueBytes_ -= queue_.front().bytes;
        refusalsQueued_ -= queue_.front().refusal ? 1 : 0;
        queue_.pop_front();
        ++dropped_;
        ++droppedUnlogged_;
        ++droppedWhileAway_;
    }
    if (droppedUnlogged_ > 0) {
        const auto now = Clock::now();
        if (droppedUnlogged_ == dropped_ || now - lastDropWarning_ >= DROP_WARNING_EVERY) {
            log_("mqtt: the queue for the broker is full (" + std::to_string(options_.queueMax) +
                 " entries): the oldest dropped, " + std::to_string(dropped_) + " since the start");
            lastDropWarning_ = now;
            droppedUnlogged_ = 0;
        }
    }
    queueBytes_ += entry.bytes;
    refusalsQueued_ += entry.refusal ? 1 : 0;
    queue_.push_back(std::move(entry));
}

void MqttBridge::pump() {
    while (connected_ && !queue_.empty() && inFlight_.size() < IN_FLIGHT_MAX) {
        Entry entry = std::move(queue_.front());
        queue_.pop_front();
        queueBytes_ -= entry.bytes;
        refusalsQueued_ -= entry.refusal ? 1 : 0;
        for (const mqtt::Message& m : entry.messages) publish(m);
    }
}

void MqttBridge::publish(const mqtt::Message& m) {
    int mid = 0;
    mosquitto_property* properties = nullptr;
    if (m.correlation && !m.correlation->empty())
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, m.correlation->data(),
                                      static_cast<uint16_t>(m.correlation->size()));
    const int rc = mosquitto_publish_v5(m_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                        m.payload.data(), 1, m.retain, properties);
    mosquitto_property_free_all(&properties);
    // Without a connection just now libmosquitto keeps it and sends it once
    // it has one again, as it does all it has not seen acknowledged.
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
        inFlight_.insert(mid);
        return;
    }
    log_("mqtt: cannot publish " + std::to_string(m.payload.size()) + " bytes on " + m.topic + ": " +
         mosquitto_strerror(rc));
}

} // namespace kelvord
