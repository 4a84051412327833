// Requests taken apart strictly (every member known, every value of its type
// and range) and answers put together.
#include "Protocol.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

#include "JsonWriter.h"
#include "LineEvents.h"
#include "ModuleSDK.h"

namespace kelvord {

namespace {

// A member name as it may stand in a message: printable ASCII, at most 40 characters.
std::string printable_name(const std::string& name) {
    std::string out;
    for (const char c : name) {
        if (out.size() >= 40) return out + "...";
        out += (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') ? c : '?';
    }
    return out;
}

// What a client sent, as parsed: a plain JSON value whose objects find a
// member in log n (an ordered object would search its members one by one).
using Value = nlohmann::json;

// The longest file name a request may give.
constexpr size_t NAME_BYTES_MAX = 4096;

// How much of anything a parse takes before it refuses the line: each bound
// is checked as the parser meets the value, before anything of it is built.
struct Caps {
    size_t lineBytes;
    int depth;          // arrays and objects in one another
    size_t members;     // members of one object
    size_t values;      // values of the whole line, containers included
    size_t keyBytes;    // a member's name
    size_t stringBytes; // a string value
};

constexpr Caps REQUEST_CAPS{REQUEST_BYTES_MAX,  NESTING_MAX,   MEMBERS_MAX,
                            REQUEST_VALUES_MAX, KEY_BYTES_MAX, REQUEST_BYTES_MAX};
// An unauthenticated client's line: an auth request and its id, no more.
constexpr Caps AUTH_CAPS{AUTH_BYTES_MAX, 8, 16, 512, 256, AUTH_BYTES_MAX};

// Builds the parsed value event by event (the JSON library's SAX interface),
// holding each to the caps: any cost of the parse is linear in the line, and
// a member twice in one object is refused rather than one of them dropped.
class Builder {
public:
    using number_integer_t = Value::number_integer_t;
    using number_unsigned_t = Value::number_unsigned_t;
    using number_float_t = Value::number_float_t;
    using string_t = Value::string_t;
    using binary_t = Value::binary_t;

    explicit Builder(const Caps& caps) : caps_(caps) {}

    bool null() { return put(nullptr) != nullptr; }
    bool boolean(bool v) { return put(v) != nullptr; }
    bool number_integer(number_integer_t v) { return put(v) != nullptr; }
    bool number_unsigned(number_unsigned_t v) { return put(v) != nullptr; }
    bool number_float(number_float_t v, const string_t&) { return put(v) != nullptr; }
    bool string(string_t& v) {
        if (v.size() > caps_.stringBytes)
            return refuse("a string of the request is longer than " + std::to_string(caps_.stringBytes) +
                          " bytes");
        return put(std::move(v)) != nullptr;
    }
    bool binary(binary_t&) { return refuse("the request is no JSON"); }
    bool start_object(size_t) { return open(Value::object()); }
    bool start_array(size_t) { return open(Value::array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool key(string_t& k) {
        if (k.size() > caps_.keyBytes)
            return refuse("a member name of the request is longer than " + std::to_string(caps_.keyBytes) +
                          " bytes");
        Value::object_t& object = stack_.back()->get_ref<Value::object_t&>();
        if (object.size() >= caps_.members)
            return refuse("an object of the request has more than " + std::to_string(caps_.members) +
                          " members");
        // The member's place, made as its name is read: the value comes next.
        const auto [at, added] = object.emplace(std::move(k), nullptr);
        if (!added)
            return refuse("the member \"" + printable_name(at->first) + "\" comes twice in one object");
        member_ = &at->second;
        return true;
    }
    template <class Exception> bool parse_error(size_t, const std::string&, const Exception&) {
        if (message_.empty()) message_ = "the request is no JSON";
        return false;
    }

    Value root;
    std::string message_; // why the line was refused, when it was

private:
    bool refuse(std::string why) {
        message_ = std::move(why);
        return false;
    }
    // The value at its place: the root, an array's next element, or the
    // member of the key just read.
    template <class V> Value* put(V&& v) {
        if (++values_ > caps_.values) {
            refuse("the request holds more than " + std::to_string(caps_.values) + " values");
            return nullptr;
        }
        if (stack_.empty()) {
            root = Value(std::forward<V>(v));
            return &root;
        }
        Value& top = *stack_.back();
        if (top.is_array()) {
            auto& array = top.get_ref<Value::array_t&>();
            array.emplace_back(std::forward<V>(v));
            return &array.back();
        }
        *member_ = Value(std::forward<V>(v));
        return member_;
    }
    bool open(Value container) {
        if (static_cast<int>(stack_.size()) >= caps_.depth)
            return refuse("the request nests deeper than " + std::to_string(caps_.depth) + " levels");
        Value* placed = put(std::move(container));
        if (!placed) return false;
        stack_.push_back(placed);
        return true;
    }
    bool close() {
        stack_.pop_back();
        return true;
    }

    const Caps& caps_;
    std::vector<Value*> stack_;
    Value* member_ = nullptr; // the place of the member whose name was read last
    size_t values_ = 0;
};

// `line` parsed under `caps`, or why not (in `why`).
bool parse_capped(std::string_view line, const Caps& caps, Value& out, std::string& why) {
    if (line.size() > caps.lineBytes) {
        why = "the request is longer than " + std::to_string(caps.lineBytes) + " bytes";
        return false;
    }
    Builder b(caps);
    const bool ok =
        Value::sax_parse(line.begin(), line.end(), &b, nlohmann::json::input_format_t::json, true);
    if (!ok) {
        why = b.message_.empty() ? "the request is no JSON" : b.message_;
        return false;
    }
    out = std::move(b.root);
    return true;
}

// A member's value could not be taken: why, naming the member.
struct Refusal {
    std::string message;
};

class Members {
public:
    Members(const Value& object, const char* what) : object_(object), what_(what) {}

    // The members of the request that this one may have; anything else is refused.
    void only(std::initializer_list<const char*> names) const {
        for (const auto& [key, value] : object_.items()) {
            if (key == "class" || key == "id") continue;
            bool known = false;
            for (const char* n : names) known = known || key == n;
            if (!known)
                throw Refusal{"unknown member \"" + printable(key) + "\" of a " + std::string(what_) +
                              " request"};
        }
    }
    const Value* find(const char* name) const {
        const auto it = object_.find(name);
        return it == object_.end() ? nullptr : &*it;
    }
    // An integer within [low, high], or `fallback` when the member is missing.
    int64_t integer(const char* name, int64_t low, int64_t high, int64_t fallback) const {
        const Value* v = find(name);
        if (!v) return fallback;
        if (v->is_number_unsigned()) {
            const uint64_t u = v->get<uint64_t>();
            if (u <= static_cast<uint64_t>(high) && static_cast<int64_t>(u) >= low)
                return static_cast<int64_t>(u);
        } else if (v->is_number_integer()) {
            const int64_t i = v->get<int64_t>();
            if (i >= low && i <= high) return i;
        }
        throw Refusal{"\"" + std::string(name) + "\" must be an integer from " + std::to_string(low) +
                      " to " + std::to_string(high)};
    }
    bool boolean(const char* name, bool fallback) const {
        const Value* v = find(name);
        if (!v) return fallback;
        if (!v->is_boolean()) throw Refusal{"\"" + std::string(name) + "\" must be true or false"};
        return v->get<bool>();
    }
    // A string of at most `max` bytes, or nothing when the member is missing.
    const std::string* text(const char* name, size_t max) const {
        const Value* v = find(name);
        if (!v) return nullptr;
        if (!v->is_string()) throw Refusal{"\"" + std::string(name) + "\" must be a string"};
        const std::string& s = v->get_ref<const std::string&>();
        if (s.size() > max)
            throw Refusal{"\"" + std::string(name) + "\" is longer than " + std::to_string(max) + " bytes"};
        return &s;
    }

    // A member name as it may stand in a message: printable ASCII, at most 40 characters.
    static std::string printable(const std::string& name) { return printable_name(name); }

private:
    const Value& object_;
    const char* what_; // the request's class, or what else the object is
};

// A strict unsigned number: decimal, or hexadecimal after "0x"; nothing else.
bool strict_number(const std::string& s, uint32_t& out) {
    const bool hex = s.size() > 2 && s[0] == '0' && s[1] == 'x';
    const size_t from = hex ? 2 : 0;
    if (s.size() <= from || s.size() - from > 10) return false;
    uint64_t v = 0;
    for (size_t i = from; i < s.size(); ++i) {
        const char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (hex && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (hex && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
    }
    if (v > std::numeric_limits<uint32_t>::max()) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

// The command code of a keyword ("IS", "is") or a code ("0x11", "17", 17).
uint8_t command_code(const Value& v) {
    const char* const wrong = "\"command\" must be a command keyword (\"IS\") or a code from 0 to 255";
    if (v.is_number_integer() || v.is_number_unsigned()) {
        // Code 0 goes out as a raw packet, as a batch line without a command does.
        if (v.is_number_unsigned() && v.get<uint64_t>() <= 255)
            return static_cast<uint8_t>(v.get<uint64_t>());
        throw Refusal{wrong};
    }
    if (!v.is_string()) throw Refusal{wrong};
    const std::string& s = v.get_ref<const std::string&>();
    uint32_t code = 0;
    if (!s.empty() && std::isdigit(static_cast<unsigned char>(s[0]))) {
        if (!strict_number(s, code) || code > 255) throw Refusal{wrong};
        return static_cast<uint8_t>(code);
    }
    if (s.empty() || s.size() > 3) throw Refusal{wrong};
    std::string upper;
    for (const char c : s) {
        if (!std::isalpha(static_cast<unsigned char>(c))) throw Refusal{wrong};
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const int found = kelvor::keyword_code(kelvor::KW_COMMAND, upper.c_str());
    if (found <= 0 || found > 255) throw Refusal{"unknown command keyword \"" + upper + "\""};
    return static_cast<uint8_t>(found);
}

constexpr int64_t U32 = std::numeric_limits<uint32_t>::max();
constexpr int64_t I32 = std::numeric_limits<int32_t>::max();

CommandRequest command_of(const Members& m) {
    m.only({"command", "module_id", "p1", "p2", "flag", "input", "input_file", "input_error", "output_file",
            "output_error", "chunk_size", "trace", "line", "part", "file", "steps", "read_image"});
    CommandRequest r;
    const Value* command = m.find("command");
    if (!command) throw Refusal{"a command request names its \"command\""};
    r.code = command_code(*command);
    if (const Value* id = m.find("module_id"); id && !id->is_null())
        r.moduleId = static_cast<uint16_t>(m.integer("module_id", 1, 0xFFFF, 1));
    r.param1 = static_cast<uint32_t>(m.integer("p1", 0, U32, 0));
    r.param2 = static_cast<uint32_t>(m.integer("p2", 0, U32, 0));
    r.flag = static_cast<uint8_t>(m.integer("flag", 0, 0xFF, 0));
    if (const std::string* input = m.text("input", REQUEST_BYTES_MAX)) {
        std::vector<uint8_t> bytes;
        if (!base64_decode(*input, bytes)) throw Refusal{"\"input\" is no base64 text"};
        r.input = std::move(bytes);
    }
    if (const std::string* name = m.text("input_file", NAME_BYTES_MAX)) r.inputName = *name;
    r.inputError = static_cast<int>(m.integer("input_error", -2, 4095, 0));
    if (r.inputError != 0 && (r.input || r.inputName.empty()))
        throw Refusal{"\"input_error\" goes with an \"input_file\" and without \"input\""};
    if (const std::string* name = m.text("output_file", NAME_BYTES_MAX)) {
        r.output = true;
        r.outputName = *name;
    }
    r.outputError = static_cast<int>(m.integer("output_error", 1, 4095, 0));
    if (r.outputError != 0) {
        if (!r.output) throw Refusal{"\"output_error\" goes with an \"output_file\""};
        r.output = false; // the client could not create it: nothing is written
    }
    r.chunkSize = static_cast<int>(m.integer("chunk_size", 0, I32, 0x1000));
    r.traceLevel = static_cast<int>(m.integer("trace", 0, 4, -1));
    r.batchLine = static_cast<int>(m.integer("line", 1, I32, 0));
    r.batchPart = static_cast<int>(m.integer("part", 1, I32, 0));
    if (r.batchPart != 0 && r.batchLine == 0) throw Refusal{"\"part\" goes with a \"line\""};
    if (const std::string* file = m.text("file", NAME_BYTES_MAX)) r.directoryFile = *file;
    r.steps = m.boolean("steps", false);
    r.readImage = m.boolean("read_image", false);
    return r;
}

uint32_t user_id_of(const Members& m) {
    if (!m.find("user_id")) throw Refusal{"the request names its \"user_id\""};
    return static_cast<uint32_t>(m.integer("user_id", 0, U32, 0));
}

std::optional<uint16_t> module_of(const Members& m) {
    if (const Value* id = m.find("module_id"); id && !id->is_null())
        return static_cast<uint16_t>(m.integer("module_id", 1, 0xFFFF, 1));
    return std::nullopt;
}

std::string directory_of(const Members& m) {
    const std::string* d = m.text("directory", 64);
    if (!d) return "backup";
    if (!backup_file_name_ok(*d))
        throw Refusal{"\"directory\" is a name of letters, digits, \".\", \"_\" and \"-\" (at most 64)"};
    return *d;
}

// The backup as a client of its own names it, any path of the client's: the
// objects and lines say this instead of the name of `directory`.
std::optional<std::string> path_of(const Members& m, const char* member) {
    const std::string* p = m.text(member, NAME_BYTES_MAX);
    if (!p) return std::nullopt;
    if (p->empty() || p->find('\0') != std::string::npos)
        throw Refusal{"\"" + std::string(member) + "\" is the path of a directory (without NUL)"};
    return *p;
}

std::vector<BackupFile> files_of(const Members& m) {
    const Value* files = m.find("files");
    if (!files) throw Refusal{"a restore, or a copy from a backup, carries the backup's \"files\""};
    if (!files->is_array()) throw Refusal{"\"files\" is an array of {\"name\":...,\"data\":BASE64}"};
    if (files->size() > BACKUP_FILES_MAX)
        throw Refusal{"\"files\" holds more than " + std::to_string(BACKUP_FILES_MAX) + " files"};
    std::vector<BackupFile> out;
    out.reserve(files->size());
    // The names, sorted once at the end: a name twice found in n log n.
    std::vector<std::string_view> names;
    names.reserve(files->size());
    uint64_t total = 0;
    for (const Value& f : *files) {
        if (!f.is_object()) throw Refusal{"\"files\" is an array of {\"name\":...,\"data\":BASE64}"};
        const Members fm(f, "file");
        fm.only({"name", "data"});
        const std::string* name = fm.text("name", 64);
        const std::string* data = fm.text("data", REQUEST_BYTES_MAX);
        if (!name || !data) throw Refusal{"each of \"files\" has a \"name\" and its \"data\""};
        if (!backup_file_name_ok(*name))
            throw Refusal{"\"" + Members::printable(*name) + "\" is no name of a backup's file"};
        names.emplace_back(*name);
        BackupFile file{*name, {}};
        if (!base64_decode(*data, file.data))
            throw Refusal{"the data of \"" + *name + "\" is no base64 text"};
        total += file.data.size();
        if (total > REQUEST_FILES_BYTES_MAX)
            throw Refusal{"the backup's files hold more than " + std::to_string(REQUEST_FILES_BYTES_MAX) +
                          " bytes, more than the service takes"};
        out.push_back(std::move(file));
    }
    // A merge sort: n log n whatever the order the client chose.
    std::stable_sort(names.begin(), names.end());
    if (const auto twice = std::adjacent_find(names.begin(), names.end()); twice != names.end())
        throw Refusal{"\"" + std::string(*twice) + "\" comes twice in \"files\""};
    return out;
}

// The members every work takes besides its own.
void work_common(const Members& m, WorkRequest& w, Tool tool) {
    w.options.tool = tool;
    w.moduleId = module_of(m);
    w.options.traceLevel = static_cast<int>(m.integer("trace", 0, 4, -1));
    w.options.text = m.boolean("text", false);
    w.progress = m.boolean("progress", false);
}

// A backup or restore: "of_list" makes its object name the module, as one of a --modules list.
void work_of_module(const Members& m, WorkRequest& w) {
    if (m.boolean("of_list", false)) {
        if (!w.moduleId) throw Refusal{"\"of_list\" goes with a \"module_id\""};
        w.options.ofList = w.moduleId;
    }
}

// A list of module IDs (1 to 65535), each once.
std::vector<uint16_t> targets_of(const Members& m) {
    std::vector<uint16_t> targets;
    std::vector<bool> named(0x10000, false);
    const Value* v = m.find("targets");
    if (!v || v->is_null()) return targets;
    const char* const wrong = "\"targets\" is a list of module IDs (1 to 65535)";
    if (!v->is_array() || v->empty() || v->size() > 0xFFFF) throw Refusal{wrong};
    for (const Value& t : *v) {
        if (!t.is_number_unsigned() || t.get<uint64_t>() == 0 || t.get<uint64_t>() > 0xFFFF)
            throw Refusal{wrong};
        const auto id = static_cast<uint16_t>(t.get<uint64_t>());
        if (named[id]) throw Refusal{"the target " + std::to_string(id) + " is named twice"};
        named[id] = true;
        targets.push_back(id);
    }
    return targets;
}

// A copy's users: user IDs and [first, last] pairs.
std::vector<std::pair<uint32_t, uint32_t>> users_of(const Members& m) {
    std::vector<std::pair<uint32_t, uint32_t>> users;
    const Value* v = m.find("users");
    if (!v || v->is_null()) return users;
    const char* const wrong = "\"users\" is a list of user IDs (1 to 4294967295) and [first, last] pairs";
    if (!v->is_array() || v->empty() || v->size() > 4096) throw Refusal{wrong};
    const auto id = [&](const Value& e) -> uint32_t {
        if (!e.is_number_unsigned() || e.get<uint64_t>() == 0 || e.get<uint64_t>() > U32)
            throw Refusal{wrong};
        return static_cast<uint32_t>(e.get<uint64_t>());
    };
    for (const Value& e : *v) {
        if (e.is_array()) {
            if (e.size() != 2) throw Refusal{wrong};
            const uint32_t first = id(e[0]), last = id(e[1]);
            if (last < first) throw Refusal{"a pair of users counts up: [first, last]"};
            users.emplace_back(first, last);
        } else {
            const uint32_t one = id(e);
            users.emplace_back(one, one);
        }
    }
    return users;
}

CopyUsersRequest copy_of(const Members& m) {
    m.only({"module_id", "from_module", "from", "files", "targets", "users", "replace", "prune", "dry_run",
            "text", "trace", "progress"});
    CopyUsersRequest c;
    work_common(m, c, Tool::CopyUsers);
    WorkOptions& o = c.options;
    o.fromModule = static_cast<uint16_t>(m.integer("from_module", 1, 0xFFFF, 0));
    const bool fromBackup = m.find("from") != nullptr;
    if ((o.fromModule != 0) == fromBackup)
        throw Refusal{
            "a copy_users request names one source: \"from_module\", or \"from\" with its \"files\""};
    if (fromBackup) {
        c.directory = *path_of(m, "from");
        c.files = files_of(m);
    } else if (m.find("files")) {
        throw Refusal{"\"files\" go with \"from\""};
    }
    o.targets = targets_of(m);
    o.users = users_of(m);
    o.replace = m.boolean("replace", false);
    o.prune = m.boolean("prune", false);
    o.dryRun = m.boolean("dry_run", false);
    return c;
}

// The request's id and class, from an object parsed: the class's name, or
// nullptr with the request's body a refusal.
const std::string* head_of(const Value& j, Request& request) {
    if (!j.is_object()) {
        request.body = BadRequest{"a request is a JSON object"};
        return nullptr;
    }
    if (const auto id = j.find("id"); id != j.end()) {
        if (id->dump(-1, ' ', false, Value::error_handler_t::replace).size() > ID_BYTES_MAX) {
            request.body =
                BadRequest{"the id is longer than " + std::to_string(ID_BYTES_MAX) + " bytes of JSON"};
            return nullptr;
        }
        request.id = Json(*id);
    }
    const auto cls = j.find("class");
    if (cls == j.end() || !cls->is_string()) {
        request.body = BadRequest{"a request has a \"class\" (command, watch, devices, version, scan, auth, "
                                  "person_set, people, person_remove, backup, restore, copy_users)"};
        return nullptr;
    }
    return &cls->get_ref<const std::string&>();
}

AuthRequest auth_of(const Members& m) {
    m.only({"token"});
    const std::string* token = m.text("token", 4096);
    if (!token) throw Refusal{"an auth request carries its \"token\""};
    return AuthRequest{*token};
}

// `line` parsed under `caps` into `j`, and the request's id and class taken
// from it: the class's name, or nullptr with the request's body a refusal.
const std::string* parse_head(std::string_view line, const Caps& caps, Value& j, Request& request) {
    request.id = nullptr;
    std::string why;
    if (!parse_capped(line, caps, j, why)) {
        request.body = BadRequest{why};
        return nullptr;
    }
    return head_of(j, request);
}

} // namespace

Request parse_auth_request(std::string_view line) {
    Request request;
    Value j;
    const std::string* name = parse_head(line, AUTH_CAPS, j, request);
    if (!name) return request;
    if (*name != "auth") {
        request.body = BadRequest{"a " + Members::printable(*name) + " request before the token"};
        return request;
    }
    try {
        request.body = auth_of(Members(j, "auth"));
    } catch (const Refusal& r) {
        request.body = BadRequest{r.message};
    }
    return request;
}

Request parse_request(std::string_view line) {
    Request request;
    Value j;
    const std::string* cls = parse_head(line, REQUEST_CAPS, j, request);
    if (!cls) return request;
    const std::string& name = *cls;
    try {
        const Members m(j, name.c_str());
        if (name == "command") {
            request.body = command_of(m);
        } else if (name == "watch") {
            m.only({"enable"});
            request.body = WatchRequest{m.boolean("enable", true)};
        } else if (name == "devices") {
            m.only({});
            request.body = DevicesRequest{};
        } else if (name == "version") {
            m.only({});
            request.body = VersionRequest{};
        } else if (name == "scan") {
            m.only({"first", "last", "trace", "wait_ms"});
            ScanRequest s;
            s.first = static_cast<uint32_t>(m.integer("first", 1, 0xFFFF, 1));
            s.last = static_cast<uint32_t>(m.integer("last", 1, 0xFFFF, 255));
            if (s.first > s.last) throw Refusal{"\"first\" is above \"last\""};
            if (s.last - s.first >= SCAN_IDS_MAX)
                throw Refusal{"a scan asks at most " + std::to_string(SCAN_IDS_MAX) + " IDs; " +
                              std::to_string(s.first) + " to " + std::to_string(s.last) + " are " +
                              std::to_string(s.last - s.first + 1)};
            s.traceLevel = static_cast<int>(m.integer("trace", 0, 4, -1));
            s.waitMs = static_cast<int>(m.integer("wait_ms", 1, kelvor::READ_TIMEOUT_MOST_MS, 0));
            request.body = s;
        } else if (name == "person_set") {
            m.only({"user_id", "name", "note"});
            PersonSetRequest p;
            p.userId = user_id_of(m);
            const std::string* person = m.text("name", NAME_BYTES_MAX);
            if (!person) throw Refusal{"a person_set request gives the person's \"name\""};
            p.name = *person;
            if (const std::string* note = m.text("note", NAME_BYTES_MAX)) p.note = *note;
            request.body = std::move(p);
        } else if (name == "people") {
            m.only({"limit", "after"});
            PeopleRequest p;
            p.limit = static_cast<size_t>(
                m.integer("limit", 1, static_cast<int64_t>(PEOPLE_PAGE_MAX), PEOPLE_PAGE_DEFAULT));
            if (const Value* after = m.find("after"); after && !after->is_null())
                p.after = static_cast<uint32_t>(m.integer("after", 0, U32, 0));
            request.body = p;
        } else if (name == "person_remove") {
            m.only({"user_id"});
            request.body = PersonRemoveRequest{user_id_of(m)};
        } else if (name == "backup") {
            m.only({"module_id", "directory", "path", "trace", "of_list", "text", "progress"});
            BackupRequest b;
            work_common(m, b, Tool::Backup);
            work_of_module(m, b);
            b.directory = directory_of(m);
            if (auto path = path_of(m, "path")) b.directory = std::move(*path);
            request.body = std::move(b);
        } else if (name == "restore") {
            m.only({"module_id", "directory", "path", "files", "trace", "of_list", "text", "progress"});
            RestoreRequest r;
            work_common(m, r, Tool::Restore);
            work_of_module(m, r);
            r.directory = directory_of(m);
            if (auto path = path_of(m, "path")) r.directory = std::move(*path);
            r.files = files_of(m);
            request.body = std::move(r);
        } else if (name == "copy_users") {
            request.body = copy_of(m);
        } else if (name == "cancel") {
            m.only({});
            if (request.id.is_null())
                throw Refusal{"a cancel request gives the \"id\" of the request it stops"};
            request.body = CancelRequest{};
        } else if (name == "auth") {
            request.body = auth_of(m);
        } else {
            request.body = BadRequest{"unknown class \"" + Members::printable(name) + "\""};
        }
    } catch (const Refusal& r) {
        request.body = BadRequest{r.message};
    }
    return request;
}

bool backup_file_name_ok(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-';
        if (!ok) return false;
    }
    return true;
}

std::string step_line(const Json& id, std::optional<uint16_t> moduleId, const AnswerStep& step) {
    Json o = Json::object();
    o["class"] = "step";
    o["id"] = id;
    const char* keyword = kelvor::keyword_name(kelvor::KW_COMMAND, step.command);
    o["command"] = std::string(keyword) == "Unknown" ? Json(nullptr) : Json(keyword);
    o["code"] = step.command;
    o["module_id"] = moduleId ? Json(*moduleId) : Json(nullptr);
    o["flag"] = step.flag;
    const auto name = line_events::flag_name(step.flag);
    o["flag_name"] = name ? Json(*name) : Json(nullptr);
    o["param1"] = step.param1;
    o["param2"] = step.param2;
    return o.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const char* work_class(Tool tool) {
    switch (tool) {
    case Tool::Backup: return "backup";
    case Tool::Restore: return "restore";
    case Tool::CopyUsers: return "copy_users";
    }
    return "backup";
}

std::string work_answer(const Json& id, Tool tool, const WorkResult& work,
                        const std::vector<BackupFile>* files, bool withTrace) {
    const auto dump = [](const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); };
    std::string out = std::string(R"({"class":")") + work_class(tool) + R"(","id":)";
    out += dump(id);
    out += R"(,"result":)" + std::to_string(work.result);
    // The front end's refusal named too, as the objects name it.
    out += R"(,"result_name":)" + dump(Json(json_output::result_name_of(work.result)));
    out += R"(,"partial":)";
    out += work.partial ? "true" : "false";
    out += R"(,"objects":[)";
    for (size_t i = 0; i < work.objects.size(); ++i) {
        if (i > 0) out += ',';
        out += work.objects[i];
    }
    out += ']';
    out += R"(,"text":)" + dump(Json(work.text));
    if (files) {
        out += R"(,"files":[)";
        for (size_t i = 0; i < files->size(); ++i) {
            const BackupFile& f = (*files)[i];
            if (i > 0) out += ',';
            out += R"({"name":)" + dump(Json(f.name));
            out += R"(,"data":")" + base64_encode(f.data.data(), f.data.size()) + "\"}";
        }
        out += ']';
    }
    if (withTrace) out += R"(,"trace":)" + dump(Json(work.trace));
    out += '}';
    return out;
}

std::string progress_line(const Json& id, Tool tool, const char* member, const std::string& json) {
    std::string out = R"({"class":"progress","id":)";
    out += id.dump(-1, ' ', false, Json::error_handler_t::replace);
    out += R"(,"tool":")";
    out += work_class(tool);
    // A copy's counts as members of their own, anything else under its member.
    out += *member ? std::string(R"(",")") + member + R"(":)" + json + '}' : "\"," + json + '}';
    return out;
}

std::string error_line(const Json& id, std::string_view message) {
    Json o = Json::object();
    o["class"] = "error";
    o["id"] = id;
    o["message"] = std::string(message);
    return o.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string command_answer(const Json& id, const CommandResult& result, bool withTrace) {
    std::string out;
    out.reserve(result.object.size() + result.output.size() * 4 / 3 + result.trace.size() + 64);
    out += R"({"class":"command","id":)";
    out += id.dump(-1, ' ', false, Json::error_handler_t::replace);
    // The object's own members, as kelvor --json wrote them.
    if (result.object.size() > 2 && result.object.front() == '{' && result.object.back() == '}') {
        out += ',';
        out.append(result.object, 1, result.object.size() - 2);
    }
    out += R"(,"output":")";
    out += base64_encode(result.output.data(), result.output.size());
    out += '"';
    if (result.image) {
        // RI's own answer, as a command's, without the request's class and id.
        const std::string image = command_answer(nullptr, *result.image, false);
        const std::string head = R"({"class":"command","id":null,)";
        out += R"(,"image":{)";
        out.append(image, head.size(), std::string::npos);
    } else if (result.readImage) {
        out += R"(,"image":null)";
    }
    if (withTrace) {
        out += R"(,"trace":)";
        out += Json(result.trace).dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    out += '}';
    return out;
}

} // namespace kelvord
