// The module's own state: system parameters, the template database,
// administrator levels, authentication policies and named blobs for the other
// families (keys, log, user memory, Wiegand, card, ports). Kept in SQLite: in a
// file with --state (every change is one transaction, so a kill at any moment
// leaves the last committed state), else in memory.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace sim {

struct Template {
    int64_t row = 0; // database row, the order of enrolment
    uint32_t user = 0;
    std::vector<uint8_t> data;
    bool duress = false;
    bool provisional = false;
};

// One system parameter of the module.
// (Its name is the wire vocabulary's, packet::parameter_of.)
struct ParamInfo {
    uint8_t number;
    uint32_t initial;
    bool writable;
};
const ParamInfo* find_param(uint8_t number);

class State {
public:
    State() = default;
    ~State();
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    // path empty: memory only. A module of a simulated bus keeps its tables
    // under its own prefix ("m7_params" ...) in the one file of the bus.
    bool open(const std::string& path, uint32_t capacity, std::string& error, const std::string& tablePrefix = "");

    // Live parameter values; save_params makes them those of the next start.
    std::optional<uint32_t> param(uint8_t number) const;
    void set_param(uint8_t number, uint32_t value);
    bool save_params();

    uint32_t capacity() const { return capacity_; }
    size_t template_count() const { return templates_.size(); }
    const std::vector<Template>& templates() const { return templates_; }
    std::vector<const Template*> templates_of(uint32_t user) const;
    bool user_exists(uint32_t user) const;
    bool add_template(uint32_t user, const std::vector<uint8_t>& data, bool duress, bool provisional);
    bool delete_user(uint32_t user);
    bool delete_all();

    uint32_t admin_level(uint32_t user) const;
    bool set_admin_level(uint32_t user, uint32_t level);
    bool clear_admin_levels();
    bool any_admin() const;
    uint32_t policy(uint32_t user) const;
    bool set_policy(uint32_t user, uint32_t policy);
    bool clear_policies();
    std::vector<uint32_t> users_with_policy(uint32_t policy) const;

    std::optional<std::vector<uint8_t>> blob(const std::string& name) const;
    bool set_blob(const std::string& name, const std::vector<uint8_t>& data);

    // ---- provisional templates, firmware image, lock and master password
    size_t provisional_count() const;
    // Provisional templates become permanent, or go.
    bool fix_provisional();
    bool delete_provisional();
    // A new firmware image, kept as a blob; each one raises the firmware version.
    bool install_firmware(const std::vector<uint8_t>& image);
    uint32_t firmware_version() const;
    bool locked() const;
    bool set_locked(bool on);
    // The master password: 16 bytes, "0000000000000000" until one is written.
    std::vector<uint8_t> master_password() const;
    bool set_master_password(const std::vector<uint8_t>& password);

private:
    // A statement with the table names of this module.
    std::string sql(const char* text) const;
    bool exec(const char* text);
    bool load();
    std::string prefix_;
    bool load_blobs();

    sqlite3* db_ = nullptr;
    uint32_t capacity_ = 1000;
    std::map<uint8_t, uint32_t> params_;
    std::vector<Template> templates_;
    std::map<uint32_t, uint32_t> admin_;
    std::map<uint32_t, uint32_t> policy_;
    std::map<std::string, std::vector<uint8_t>> blobs_;
};

} // namespace sim
