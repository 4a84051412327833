#include "Server.h"

#include <boost/asio/post.hpp>

#include "Directory.h"
#include "ModuleSDK.h"

namespace kelvord {

namespace {

std::string dump(const Json& o) {
    return o.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// The token compared in a time that does not tell how much of it was right.
bool same_token(const std::string& given, const std::string& token) {
    unsigned char differ = given.size() == token.size() ? 0 : 1;
    for (size_t i = 0; i < given.size(); ++i)
        differ |= static_cast<unsigned char>(given[i] ^ token[i % std::max<size_t>(token.size(), 1)]);
    return differ == 0 && !token.empty();
}

} // namespace

Service::Service(boost::asio::io_context& io, Line& line, ServiceOptions options, Log log)
    : io_(io), line_(line), options_(std::move(options)), log_(std::move(log)) {}

bool Service::add(const std::shared_ptr<Client>& client) {
    Client& c = *client;
    using Slot = Client::Slot;
    const bool local = c.address.empty();
    if (!local && !c.authenticated) {
        if (c.slot_ != Slot::None) return true;
        const auto at = strangersAt_.find(c.address);
        const size_t here = at == strangersAt_.end() ? 0 : at->second;
        if (strangers_ >= options_.maxUnauthenticated || here >= options_.maxUnauthenticatedPerAddress) {
            // A flood of strangers costs a line of the log a second, not a line each.
            ++refusalsUnlogged_;
            const auto now = std::chrono::steady_clock::now();
            if (now - refusalLogged_ >= std::chrono::seconds(1)) {
                log_(
                    "client " + c.name() + " refused: " +
                    (here >= options_.maxUnauthenticatedPerAddress
                         ? std::to_string(here) + " clients of " + c.address
                         : std::to_string(strangers_) + " clients") +
                    " not yet authenticated" +
                    (refusalsUnlogged_ > 1 ? " (" + std::to_string(refusalsUnlogged_) + " refused so)" : ""));
                refusalLogged_ = now;
                refusalsUnlogged_ = 0;
            }
            c.send_and_close(error_line(nullptr, "too many clients not yet authenticated; try again later"));
            return false;
        }
        ++strangersAt_[c.address];
        ++strangers_;
        c.slot_ = Slot::Stranger;
        clients_.insert(client);
        if (options_.verbose) log_("client " + c.name() + " connected");
        return true;
    }
    const Slot wanted = local ? Slot::Local : Slot::Remote;
    if (c.slot_ == wanted) return true;
    size_t& taken = local ? localClients_ : remoteClients_;
    if (taken >= options_.maxClients) {
        log_("client " + c.name() + " refused: " + std::to_string(options_.maxClients) + " " +
             (local ? "local" : "remote") + " clients already");
        c.send_and_close(error_line(nullptr, "the service serves " + std::to_string(options_.maxClients) +
                                                 " clients already; try again later"));
        return false;
    }
    const bool known = c.slot_ == Slot::Stranger;
    if (known) release_stranger(c); // authenticated: from the strangers' budget to the clients'
    ++taken;
    c.slot_ = wanted;
    clients_.insert(client);
    if (options_.verbose && !known) log_("client " + c.name() + " connected");
    return true;
}

void Service::release_stranger(const Client& client) {
    if (const auto at = strangersAt_.find(client.address); at != strangersAt_.end() && --at->second == 0)
        strangersAt_.erase(at);
    --strangers_;
}

void Service::remove(Client* client) {
    using Slot = Client::Slot;
    for (auto it = clients_.begin(); it != clients_.end(); ++it) {
        if (it->get() == client) {
            if (options_.verbose) log_("client " + client->name() + " gone");
            switch (client->slot_) {
            case Slot::Stranger: release_stranger(*client); break;
            case Slot::Remote: --remoteClients_; break;
            case Slot::Local: --localClients_; break;
            case Slot::None: break;
            }
            client->slot_ = Slot::None;
            // Its jobs with it: the one on the line is stopped, the queued ones never start.
            line_.abandon(*it);
            clients_.erase(it);
            return;
        }
    }
}

void Service::post_event(std::function<void()> event) {
    if (eventsPosted_.fetch_add(1) >= EVENTS_POSTED_MAX) {
        eventsPosted_.fetch_sub(1);
        eventsDropped_.fetch_add(1);
        burstDropped_.fetch_add(1);
        return;
    }
    boost::asio::post(io_, [this, event = std::move(event)]() {
        eventsPosted_.fetch_sub(1);
        // A burst that was cut short is told once, as the loop catches up.
        if (const uint64_t dropped = burstDropped_.exchange(0); dropped > 0)
            log_(std::to_string(dropped) + " events dropped: more than " + std::to_string(EVENTS_POSTED_MAX) +
                 " waited for the service at once");
        event();
    });
}

void Service::publish(std::string line) {
    post_event([this, line = std::move(line)]() {
        // A client dropped while sending leaves the set: go over a copy.
        const std::vector<std::shared_ptr<Client>> all(clients_.begin(), clients_.end());
        for (const auto& c : all)
            if (c->watching && c->authenticated && !c->closing) c->send(line);
    });
}

void Service::oversized(const std::shared_ptr<Client>& client) {
    if (client->closing) return;
    if (!client->authenticated) {
        authenticate(client, std::string_view());
        return;
    }
    const uint64_t slot = client->nextSlot_++;
    answer(client, slot,
           error_line(nullptr, "the request is longer than " + std::to_string(REQUEST_BYTES_MAX) + " bytes"),
           0);
}

void Service::answer(const std::shared_ptr<Client>& client, uint64_t slot, std::string line, size_t bytes,
                     const Json& id) {
    Client& c = *client;
    c.pendingBytes_ -= std::min(c.pendingBytes_, bytes);
    if (c.closing) return;
    // What waits for the client already, sent or held, and this answer with
    // its line end: more than its buffer, and an error goes instead; when not
    // even that fits, the client is dropped.
    const auto fits = [&](size_t size) {
        const size_t waiting = c.queued_bytes() + c.heldBytes_;
        return waiting <= options_.clientBuffer && size + 1 <= options_.clientBuffer - waiting;
    };
    if (!fits(line.size())) {
        const size_t size = line.size();
        line = error_line(id, "the answer of " + std::to_string(size) +
                                  " bytes does not fit the client's buffer of " +
                                  std::to_string(options_.clientBuffer) + " bytes (kelvord --client-buffer)");
        if (!fits(line.size())) {
            log_("client " + c.name() + " dropped: it does not read (its answers fill its buffer of " +
                 std::to_string(options_.clientBuffer) + " bytes)");
            c.close();
            return;
        }
    }
    if (slot != c.firstSlot_) {
        c.heldBytes_ += line.size() + 1;
        c.ready_.emplace(slot, std::move(line));
        return;
    }
    c.send(std::move(line));
    ++c.firstSlot_;
    for (auto it = c.ready_.find(c.firstSlot_); it != c.ready_.end(); it = c.ready_.find(c.firstSlot_)) {
        c.heldBytes_ -= std::min(c.heldBytes_, it->second.size() + 1);
        c.send(std::move(it->second));
        c.ready_.erase(it);
        ++c.firstSlot_;
    }
    if (c.paused_ && c.nextSlot_ - c.firstSlot_ < PENDING_REQUESTS_MAX / 2 &&
        c.pendingBytes_ < PENDING_BYTES_MAX / 2) {
        c.paused_ = false;
        c.pause_reading(false);
    }
}

void Service::authenticate(const std::shared_ptr<Client>& client, std::string_view line) {
    Client& c = *client;
    // A client that must authenticate presents its token before anything
    // else: its first line is read as an auth request of at most
    // AUTH_BYTES_MAX bytes and nothing more (a longer one is not parsed).
    const Request r = line.empty() ? Request{nullptr, BadRequest{"too long"}} : parse_auth_request(line);
    const uint64_t slot = c.nextSlot_++;
    const auto* auth = std::get_if<AuthRequest>(&r.body);
    if (auth && same_token(auth->token, options_.token)) {
        c.authenticated = true;
        Json o = Json::object();
        o["class"] = "auth";
        o["id"] = r.id;
        o["ok"] = true;
        answer(client, slot, dump(o), 0);
        return;
    }
    log_("client " + c.name() + " refused: " + (auth ? "wrong token" : "no token"));
    c.send_and_close(error_line(r.id, auth ? "wrong token"
                                           : "present the token first: {\"class\":\"auth\",\"token\":...}"));
}

void Service::request(const std::shared_ptr<Client>& client, std::string_view text) {
    Client& c = *client;
    if (c.closing) return;
    if (!c.authenticated) {
        authenticate(client, text);
        return;
    }
    // Reading stopped at the limit; a line handed over beyond it all the same
    // is refused unread.
    if (c.nextSlot_ - c.firstSlot_ >= PENDING_REQUESTS_MAX || c.pendingBytes_ >= PENDING_BYTES_MAX) {
        const uint64_t slot = c.nextSlot_++;
        answer(client, slot,
               error_line(nullptr, std::to_string(PENDING_REQUESTS_MAX) + " requests (or " +
                                       std::to_string(PENDING_BYTES_MAX) +
                                       " bytes of them) wait for their answers already: wait for them first"),
               0);
        return;
    }
    Request r = parse_request(text);
    const uint64_t slot = c.nextSlot_++;
    // The request counts against the client's pending ones from here until
    // its answer is made; at the limit the client is read no further.
    const size_t bytes = text.size();
    c.pendingBytes_ += bytes;
    if (!c.paused_ &&
        (c.nextSlot_ - c.firstSlot_ >= PENDING_REQUESTS_MAX || c.pendingBytes_ >= PENDING_BYTES_MAX)) {
        c.paused_ = true;
        c.pause_reading(true);
    }
    const std::weak_ptr<const void> owner = client;
    const Line::JobKey key{owner, dump(r.id)};
    std::visit(
        [&](auto& body) {
            using T = std::decay_t<decltype(body)>;
            if constexpr (std::is_same_v<T, BadRequest>) {
                answer(client, slot, error_line(r.id, body.message), bytes, r.id);
            } else if constexpr (std::is_same_v<T, CancelRequest>) {
                Json o = Json::object();
                o["class"] = "cancel";
                o["id"] = r.id;
                o["cancelled"] = line_.cancel(key);
                answer(client, slot, dump(o), bytes, r.id);
            } else if constexpr (std::is_same_v<T, AuthRequest>) {
                Json o = Json::object();
                o["class"] = "auth";
                o["id"] = r.id;
                o["ok"] = true;
                answer(client, slot, dump(o), bytes, r.id);
            } else if constexpr (std::is_same_v<T, VersionRequest>) {
                Json o = Json::object();
                o["class"] = "version";
                o["id"] = r.id;
                o["version"] = kelvor::version();
                o["protocol"] = PROTOCOL_LEVEL;
                answer(client, slot, dump(o), bytes, r.id);
            } else if constexpr (std::is_same_v<T, WatchRequest>) {
                c.watching = body.enable;
                Json o = Json::object();
                o["class"] = "watch";
                o["id"] = r.id;
                o["enable"] = body.enable;
                o["line"] = line_.snapshot().state;
                answer(client, slot, dump(o), bytes, r.id);
            } else if constexpr (std::is_same_v<T, DevicesRequest>) {
                answer(client, slot, devices_answer(r.id), bytes, r.id);
            } else if constexpr (std::is_same_v<T, PersonSetRequest> || std::is_same_v<T, PeopleRequest> ||
                                 std::is_same_v<T, PersonRemoveRequest>) {
                answer(client, slot, directory_answer(r.id, r), bytes, r.id);
            } else if constexpr (std::is_same_v<T, BackupRequest> || std::is_same_v<T, RestoreRequest> ||
                                 std::is_same_v<T, CopyUsersRequest>) {
                submit_work(client, slot, r.id, std::move(body), bytes);
            } else if constexpr (std::is_same_v<T, CommandRequest>) {
                const bool withTrace = body.traceLevel >= 0;
                const std::weak_ptr<Client> weak = client;
                StepObserver steps;
                if (body.steps) {
                    // Each answer of the module to this client as it comes, ahead of the command's answer.
                    steps = [this, weak, id = r.id, moduleId = body.moduleId](const AnswerStep& step) {
                        post_event([weak, line = step_line(id, moduleId, step)]() mutable {
                            if (const auto alive = weak.lock(); alive && !alive->closing)
                                alive->send(std::move(line));
                        });
                    };
                }
                line_.submit_command(
                    key, std::move(body),
                    [this, weak, slot, id = r.id, withTrace, bytes](CommandOutcome outcome) {
                        std::string line =
                            std::holds_alternative<CommandResult>(outcome)
                                ? command_answer(id, std::get<CommandResult>(outcome), withTrace)
                                : error_line(id, std::get<std::string>(outcome));
                        boost::asio::post(io_,
                                          [this, weak, slot, bytes, id, line = std::move(line)]() mutable {
                                              if (const auto alive = weak.lock())
                                                  answer(alive, slot, std::move(line), bytes, id);
                                          });
                    },
                    std::move(steps));
            } else if constexpr (std::is_same_v<T, ScanRequest>) {
                const bool withTrace = body.traceLevel >= 0;
                const std::weak_ptr<Client> weak = client;
                line_.submit_scan(key, body.first, body.last, body.traceLevel, body.waitMs,
                                  [this, weak, slot, bytes, id = r.id, withTrace](Line::ScanOutcome outcome) {
                                      std::string line;
                                      if (const auto* scan = std::get_if<ScanResult>(&outcome)) {
                                          std::string out = R"({"class":"scan","id":)" + dump(id);
                                          out += R"(,"result":)" + std::to_string(scan->result);
                                          out += R"(,"result_name":)" +
                                                 dump(Json(kelvor::result_name(scan->result)));
                                          out += R"(,"objects":[)";
                                          for (size_t i = 0; i < scan->objects.size(); ++i) {
                                              if (i > 0) out += ',';
                                              out += scan->objects[i];
                                          }
                                          out += ']';
                                          if (withTrace) out += R"(,"trace":)" + dump(Json(scan->trace));
                                          out += '}';
                                          line = std::move(out);
                                      } else {
                                          line = error_line(id, std::get<std::string>(outcome));
                                      }
                                      boost::asio::post(io_, [this, weak, slot, bytes, id,
                                                              line = std::move(line)]() mutable {
                                          if (const auto alive = weak.lock())
                                              answer(alive, slot, std::move(line), bytes, id);
                                      });
                                  });
            }
        },
        r.body);
}

void Service::submit_work(const std::shared_ptr<Client>& client, uint64_t slot, const Json& id,
                          WorkRequest request, size_t requestBytes) {
    const std::weak_ptr<Client> weak = client;
    const Tool tool = request.options.tool;
    const bool withTrace = request.options.traceLevel >= 0;
    Line::Work work{request.moduleId,
                    std::move(request.directory),
                    std::move(request.files),
                    std::move(request.options),
                    {}};
    if (request.progress) {
        // The work's progress to this client as it goes, ahead of the answer.
        work.progress = [this, weak, id, tool](const char* member, const std::string& json) {
            post_event([weak, line = progress_line(id, tool, member, json)]() mutable {
                if (const auto alive = weak.lock(); alive && !alive->closing) alive->send(std::move(line));
            });
        };
    }
    line_.submit_work({client, dump(id)}, std::move(work),
                      [this, weak, slot, id, tool, withTrace, requestBytes](Line::WorkOutcome outcome) {
                          std::string line;
                          if (const auto* done = std::get_if<Line::WorkDone>(&outcome))
                              line = work_answer(id, tool, done->work,
                                                 tool == Tool::Backup ? &done->files : nullptr, withTrace);
                          else
                              line = error_line(id, std::get<std::string>(outcome));
                          boost::asio::post(
                              io_, [this, weak, slot, requestBytes, id, line = std::move(line)]() mutable {
                                  if (const auto alive = weak.lock())
                                      answer(alive, slot, std::move(line), requestBytes, id);
                              });
                      });
}

std::string Service::directory_answer(const Json& id, const Request& r) {
    Directory* d = options_.directory;
    if (!d) return error_line(id, "the service keeps no directory of people (kelvord --directory FILE)");
    Json o = Json::object();
    const auto person_object = [](const Person& p) {
        Json e = Json::object();
        e["user_id"] = p.userId;
        e["name"] = p.name;
        e["note"] = p.note;
        e["changed"] = p.changed;
        return e;
    };
    if (const auto* set = std::get_if<PersonSetRequest>(&r.body)) {
        Person stored;
        if (std::string why = d->set(set->userId, set->name, set->note, stored); !why.empty())
            return error_line(id, why);
        o["class"] = "person_set";
        o["id"] = id;
        o["person"] = person_object(stored);
    } else if (const auto* remove = std::get_if<PersonRemoveRequest>(&r.body)) {
        std::string why;
        const bool removed = d->remove(remove->userId, why);
        if (!why.empty()) return error_line(id, why);
        o["class"] = "person_remove";
        o["id"] = id;
        o["user_id"] = remove->userId;
        o["removed"] = removed;
    } else {
        const auto& page = std::get<PeopleRequest>(r.body);
        bool more = false;
        const std::vector<Person> people = d->page(page.after, page.limit, more);
        // A page ends early rather than grow past half the client's buffer.
        const size_t budget = options_.clientBuffer / 2;
        size_t size = 64 + dump(id).size();
        Json all = Json::array();
        for (const Person& p : people) {
            Json e = person_object(p);
            size += dump(e).size() + 1;
            if (!all.empty() && size > budget) {
                more = true;
                break;
            }
            all.push_back(std::move(e));
        }
        o["class"] = "people";
        o["id"] = id;
        o["next"] = more && !all.empty() ? Json(all.back()["user_id"]) : Json(nullptr);
        o["people"] = std::move(all);
    }
    return dump(o);
}

std::string Service::devices_answer(const Json& id) const {
    const LineSnapshot s = line_.snapshot();
    Json o = Json::object();
    o["class"] = "devices";
    o["id"] = id;
    o["port"] = s.settings.port;
    o["baud"] = kelvor::baud_rate_of_code(s.settings.baudCode);
    o["network"] = s.settings.network == 1;
    o["hex_text"] = s.settings.hexText == 1;
    o["read_timeout_ms"] = s.settings.readTimeout;
    o["state"] = s.state;
    if (!s.reason.empty()) o["reason"] = s.reason;
    o["queued"] = s.queued;
    o["busy"] = s.busy;
    Json modules = Json::array();
    for (const ModuleInfo& m : s.modules) {
        Json e = Json::object();
        e["module_id"] = m.id ? Json(*m.id) : Json(nullptr);
        e["state"] = m.state;
        if (m.status) {
            e["status"] = *m.status;
            e["status_name"] = kelvor::keyword_name(kelvor::KW_STATUS, static_cast<int>(*m.status));
        }
        modules.push_back(std::move(e));
    }
    o["modules"] = std::move(modules);
    return dump(o);
}

} // namespace kelvord
