#include "State.h"

#include <algorithm>
#include <regex>
#include <sqlite3.h>

#include "protocol/Packet.h"

namespace sim {

namespace {

// Plausible values of a module fresh from the factory, by parameter name.
using kelvor::packet::param::number_of;
constexpr ParamInfo PARAMS[] = {
    {number_of("Timeout Period"), 0x32, true},
    {number_of("Template Size"), 384, false},
    {number_of("Enroll Mode"), 0x30, true},
    {number_of("Security Level"), 0x34, true},
    {number_of("Encryption Mode"), 0x30, true},
    {number_of("Sensor Type"), 0x31, false},
    {number_of("Image Format"), 0x30, true},
    {number_of("Module ID"), 1, true},
    {number_of("Firmware Version"), 0x0203, false},
    {number_of("Serial No"), 0x51A0E001, false},
    {number_of("Baudrate"), 0x35, true},
    {number_of("Aux Baudrate"), 0x35, true},
    {number_of("Enrolled Fingerprints"), 0, false},
    {number_of("Available Fingerprints"), 0, false},
    {number_of("Sending SCAN_SUCCESS"), 0x30, true},
    {number_of("ASCII Packet"), 0x30, true},
    {number_of("Roate Image"), 0x30, true},
    {number_of("Rotation"), 0x30, true},
    {number_of("Sensor Sensitivity"), 0x37, true},
    {number_of("Qualifying Image Quality"), 0x30, true},
    {number_of("Automatic GPIO Response"), 0x30, true},
    {number_of("Network Mode"), 0x30, true},
    {number_of("Free Scan"), 0x30, true},
    {number_of("Provisional Enroll"), 0x30, true},
    {number_of("Pass When Empty"), 0x30, true},
    {number_of("Response Delay"), 0x30, true},
    {number_of("Matching Timeout"), 0x30, true},
    {number_of("Build No"), 0x0011, false},
    {number_of("Enroll Displacement"), 0x30, true},
    {number_of("Lighting Condition"), 0x30, true},
    {number_of("Free Scan Delay"), 0x30, true},
    {number_of("Card Enroll Mode"), 0x30, true},
    {number_of("Fast Mode"), 0x30, true},
};

// The module has exactly the parameters the wire vocabulary names.
constexpr bool same_parameters() {
    if (std::size(PARAMS) != std::size(kelvor::packet::PARAMETERS)) return false;
    // Compared by number, not through parameter_of's pointer: a pointer
    // compared with null is not a constant under the sanitizers.
    for (const ParamInfo& p : PARAMS) {
        bool named = false;
        for (const kelvor::packet::Parameter& q : kelvor::packet::PARAMETERS)
            named = named || q.number == p.number;
        if (!named) return false;
    }
    return true;
}
static_assert(same_parameters());

// A prepared statement, finalised when it goes.
class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) {
        if (db != nullptr) sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
    }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool ok() const { return s_ != nullptr; }
    Stmt& bind(int i, int64_t v) {
        sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt& bind(int i, const std::string& v) {
        sqlite3_bind_text(s_, i, v.c_str(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bind(int i, const std::vector<uint8_t>& v) {
        sqlite3_bind_blob(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int step() { return s_ != nullptr ? sqlite3_step(s_) : SQLITE_ERROR; }
    bool run() { return step() == SQLITE_DONE; }
    int64_t col(int i) const { return sqlite3_column_int64(s_, i); }
    std::vector<uint8_t> blob(int i) const {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s_, i));
        const int n = sqlite3_column_bytes(s_, i);
        return p != nullptr && n > 0 ? std::vector<uint8_t>(p, p + n) : std::vector<uint8_t>();
    }
    std::string text(int i) const {
        const auto* p = sqlite3_column_text(s_, i);
        return p != nullptr ? std::string(reinterpret_cast<const char*>(p)) : std::string();
    }

private:
    sqlite3_stmt* s_ = nullptr;
};

} // namespace

const ParamInfo* find_param(uint8_t number) {
    for (const ParamInfo& p : PARAMS)
        if (p.number == number) return &p;
    return nullptr;
}

State::~State() {
    if (db_ != nullptr) sqlite3_close(db_);
}

std::string State::sql(const char* text) const {
    if (prefix_.empty()) return text;
    static const std::regex TABLE(R"(\b(FROM|INTO|UPDATE|EXISTS) (params|templates|admin|policy|blobs)\b)");
    return std::regex_replace(text, TABLE, "$1 " + prefix_ + "$2");
}

bool State::exec(const char* text) {
    return sqlite3_exec(db_, sql(text).c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool State::open(const std::string& path, uint32_t capacity, std::string& error, const std::string& tablePrefix) {
    capacity_ = capacity;
    prefix_ = tablePrefix;
    for (const ParamInfo& p : PARAMS) params_[p.number] = p.initial;
    const std::string name = path.empty() ? ":memory:" : path;
    if (sqlite3_open(name.c_str(), &db_) != SQLITE_OK) {
        error = "cannot open the state file " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    sqlite3_busy_timeout(db_, 2000);
    // The rollback journal makes every commit atomic; FULL sync makes it durable.
    if (!exec("PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;") ||
        !exec("CREATE TABLE IF NOT EXISTS params(number INTEGER PRIMARY KEY, value INTEGER NOT NULL);"
              "CREATE TABLE IF NOT EXISTS templates(row INTEGER PRIMARY KEY AUTOINCREMENT, user INTEGER NOT "
              "NULL,"
              " data BLOB NOT NULL, duress INTEGER NOT NULL, provisional INTEGER NOT NULL);"
              "CREATE TABLE IF NOT EXISTS admin(user INTEGER PRIMARY KEY, level INTEGER NOT NULL);"
              "CREATE TABLE IF NOT EXISTS policy(user INTEGER PRIMARY KEY, policy INTEGER NOT NULL);"
              "CREATE TABLE IF NOT EXISTS blobs(name TEXT PRIMARY KEY, data BLOB NOT NULL);")) {
        error = "cannot use the state file " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    if (!load()) {
        error = "cannot read the state file " + path + ": " + sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

bool State::load() {
    {
        Stmt s(db_, sql("SELECT number, value FROM params").c_str());
        if (!s.ok()) return false;
        while (s.step() == SQLITE_ROW) {
            const auto n = static_cast<uint8_t>(s.col(0));
            const ParamInfo* info = find_param(n);
            if (info != nullptr && info->writable) params_[n] = static_cast<uint32_t>(s.col(1));
        }
    }
    {
        Stmt s(db_, sql("SELECT row, user, data, duress, provisional FROM templates ORDER BY row").c_str());
        if (!s.ok()) return false;
        while (s.step() == SQLITE_ROW) {
            Template t;
            t.row = s.col(0);
            t.user = static_cast<uint32_t>(s.col(1));
            t.data = s.blob(2);
            t.duress = s.col(3) != 0;
            t.provisional = s.col(4) != 0;
            templates_.push_back(std::move(t));
        }
    }
    {
        Stmt s(db_, sql("SELECT user, level FROM admin").c_str());
        if (!s.ok()) return false;
        while (s.step() == SQLITE_ROW)
            admin_[static_cast<uint32_t>(s.col(0))] = static_cast<uint32_t>(s.col(1));
    }
    {
        Stmt s(db_, sql("SELECT user, policy FROM policy").c_str());
        if (!s.ok()) return false;
        while (s.step() == SQLITE_ROW)
            policy_[static_cast<uint32_t>(s.col(0))] = static_cast<uint32_t>(s.col(1));
    }
    return load_blobs();
}

bool State::load_blobs() {
    Stmt s(db_, sql("SELECT name, data FROM blobs").c_str());
    if (!s.ok()) return false;
    while (s.step() == SQLITE_ROW) blobs_[s.text(0)] = s.blob(1);
    return true;
}

std::optional<uint32_t> State::param(uint8_t number) const {
    if (number == kelvor::packet::param::FIRMWARE_VERSION) return firmware_version();
    if (number == 0x73) return static_cast<uint32_t>(templates_.size());
    if (number == 0x74)
        return capacity_ - std::min<uint32_t>(capacity_, static_cast<uint32_t>(templates_.size()));
    const auto it = params_.find(number);
    if (it == params_.end()) return std::nullopt;
    return it->second;
}

void State::set_param(uint8_t number, uint32_t value) {
    params_[number] = value;
}

bool State::save_params() {
    if (!exec("BEGIN")) return false;
    bool ok = true;
    for (const auto& [number, value] : params_) {
        const ParamInfo* info = find_param(number);
        if (info == nullptr || !info->writable) continue;
        Stmt s(db_, sql("INSERT OR REPLACE INTO params(number, value) VALUES(?, ?)").c_str());
        ok = ok && s.bind(1, number).bind(2, value).run();
    }
    if (!ok) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

std::vector<const Template*> State::templates_of(uint32_t user) const {
    std::vector<const Template*> out;
    for (const Template& t : templates_)
        if (t.user == user) out.push_back(&t);
    return out;
}

bool State::user_exists(uint32_t user) const {
    return std::any_of(templates_.begin(), templates_.end(),
                       [&](const Template& t) { return t.user == user; });
}

bool State::add_template(uint32_t user, const std::vector<uint8_t>& data, bool duress, bool provisional) {
    Stmt s(db_, sql("INSERT INTO templates(user, data, duress, provisional) VALUES(?, ?, ?, ?)").c_str());
    if (!s.bind(1, user).bind(2, data).bind(3, duress ? 1 : 0).bind(4, provisional ? 1 : 0).run())
        return false;
    Template t;
    t.row = sqlite3_last_insert_rowid(db_);
    t.user = user;
    t.data = data;
    t.duress = duress;
    t.provisional = provisional;
    templates_.push_back(std::move(t));
    return true;
}

// A user's administrator level and policy go with the user: an ID enrolled
// anew starts without a level and with the fingerprint policy.
bool State::delete_user(uint32_t user) {
    if (!exec("BEGIN")) return false;
    bool ok = true;
    for (const char* text : {"DELETE FROM templates WHERE user = ?", "DELETE FROM admin WHERE user = ?",
                             "DELETE FROM policy WHERE user = ?"}) {
        Stmt s(db_, sql(text).c_str());
        ok = ok && s.bind(1, user).run();
    }
    if (!ok || !exec("COMMIT")) {
        exec("ROLLBACK");
        return false;
    }
    std::erase_if(templates_, [&](const Template& t) { return t.user == user; });
    admin_.erase(user);
    policy_.erase(user);
    return true;
}

bool State::delete_all() {
    if (!exec("BEGIN; DELETE FROM templates; DELETE FROM admin; DELETE FROM policy; COMMIT;")) {
        exec("ROLLBACK");
        return false;
    }
    templates_.clear();
    admin_.clear();
    policy_.clear();
    return true;
}

uint32_t State::admin_level(uint32_t user) const {
    const auto it = admin_.find(user);
    return it == admin_.end() ? 0 : it->second;
}

bool State::set_admin_level(uint32_t user, uint32_t level) {
    Stmt s(db_, sql("INSERT OR REPLACE INTO admin(user, level) VALUES(?, ?)").c_str());
    if (!s.bind(1, user).bind(2, level).run()) return false;
    admin_[user] = level;
    return true;
}

bool State::clear_admin_levels() {
    if (!exec("DELETE FROM admin")) return false;
    admin_.clear();
    return true;
}

bool State::any_admin() const {
    for (const auto& [user, level] : admin_)
        if (level != 0 && user_exists(user)) return true;
    return false;
}

uint32_t State::policy(uint32_t user) const {
    const auto it = policy_.find(user);
    return it == policy_.end() ? 0 : it->second;
}

bool State::set_policy(uint32_t user, uint32_t p) {
    Stmt s(db_, sql("INSERT OR REPLACE INTO policy(user, policy) VALUES(?, ?)").c_str());
    if (!s.bind(1, user).bind(2, p).run()) return false;
    policy_[user] = p;
    return true;
}

bool State::clear_policies() {
    if (!exec("DELETE FROM policy")) return false;
    policy_.clear();
    return true;
}

std::vector<uint32_t> State::users_with_policy(uint32_t p) const {
    std::vector<uint32_t> users;
    for (const Template& t : templates_)
        if (policy(t.user) == p && std::find(users.begin(), users.end(), t.user) == users.end())
            users.push_back(t.user);
    return users;
}

std::optional<std::vector<uint8_t>> State::blob(const std::string& name) const {
    const auto it = blobs_.find(name);
    if (it == blobs_.end()) return std::nullopt;
    return it->second;
}

bool State::set_blob(const std::string& name, const std::vector<uint8_t>& data) {
    Stmt s(db_, sql("INSERT OR REPLACE INTO blobs(name, data) VALUES(?, ?)").c_str());
    if (!s.bind(1, name).bind(2, data).run()) return false;
    blobs_[name] = data;
    return true;
}

// ---- provisional templates, firmware image, lock and master password

namespace {
const char* const FIRMWARE_BLOB = "firmware";
const char* const FIRMWARE_VERSION_BLOB = "firmware.version";
const char* const LOCK_BLOB = "lock";
const char* const PASSWORD_BLOB = "master.password";
constexpr size_t PASSWORD_SIZE = kelvor::packet::record::PASSWORD_SIZE;
} // namespace

size_t State::provisional_count() const {
    return static_cast<size_t>(
        std::count_if(templates_.begin(), templates_.end(), [](const Template& t) { return t.provisional; }));
}

bool State::fix_provisional() {
    if (!exec("UPDATE templates SET provisional = 0")) return false;
    for (Template& t : templates_) t.provisional = false;
    return true;
}

bool State::delete_provisional() {
    if (!exec("DELETE FROM templates WHERE provisional != 0")) return false;
    std::erase_if(templates_, [](const Template& t) { return t.provisional; });
    return true;
}

uint32_t State::firmware_version() const {
    const auto v = blob(FIRMWARE_VERSION_BLOB);
    if (!v || v->size() != 4) return find_param(kelvor::packet::param::FIRMWARE_VERSION)->initial;
    return static_cast<uint32_t>((*v)[0]) | static_cast<uint32_t>((*v)[1]) << 8 |
           static_cast<uint32_t>((*v)[2]) << 16 | static_cast<uint32_t>((*v)[3]) << 24;
}

bool State::install_firmware(const std::vector<uint8_t>& image) {
    const uint32_t next = firmware_version() + 1;
    const std::vector<uint8_t> version = {static_cast<uint8_t>(next), static_cast<uint8_t>(next >> 8),
                                          static_cast<uint8_t>(next >> 16), static_cast<uint8_t>(next >> 24)};
    // Image and version change together or not at all.
    if (!exec("BEGIN")) return false;
    if (!set_blob(FIRMWARE_BLOB, image) || !set_blob(FIRMWARE_VERSION_BLOB, version)) {
        exec("ROLLBACK");
        blobs_.erase(FIRMWARE_BLOB);
        blobs_.erase(FIRMWARE_VERSION_BLOB);
        load_blobs();
        return false;
    }
    return exec("COMMIT");
}

bool State::locked() const {
    const auto v = blob(LOCK_BLOB);
    return v && !v->empty() && (*v)[0] != 0;
}

bool State::set_locked(bool on) {
    return set_blob(LOCK_BLOB, {static_cast<uint8_t>(on ? 1 : 0)});
}

std::vector<uint8_t> State::master_password() const {
    const auto v = blob(PASSWORD_BLOB);
    if (!v || v->size() != PASSWORD_SIZE) return std::vector<uint8_t>(PASSWORD_SIZE, '0');
    return *v;
}

bool State::set_master_password(const std::vector<uint8_t>& password) {
    return password.size() == PASSWORD_SIZE && set_blob(PASSWORD_BLOB, password);
}

} // namespace sim
