// Every command of the library's descriptions run through run_command against
// the simulated module, as its example shows it: the values its outcome holds
// are named and typed as its description says, and every value its
// description names comes in one of its runs. A family that hands back a value
// its description lacks fails here, and so does a description that promises
// one no run gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ModuleSDK.h"
#include "OrvantiCom.h"
#include "SimHarness.h"

using namespace kelvor;

namespace {

using packet::ValueField;
using packet::ValueType;

// Commands that change what the others find (the lock, the firmware, the
// database) run last, in this order.
const std::vector<std::string> LAST = {"UG", "CA", "DT", "DS",  "DSA", "DW", "DWA",
                                       "DP", "FP", "DA", "DAA", "MP",  "LM", "UM"};

bool matches(ValueType type, const Value& v) {
    using K = Value::Kind;
    switch (type) {
    case ValueType::Unsigned: return v.kind == K::Integer && v.integer >= 0;
    case ValueType::Signed: return v.kind == K::Integer;
    case ValueType::Text:
    case ValueType::Name: return v.kind == K::Text;
    case ValueType::Hex:
        return v.kind == K::Text && v.text.size() % 2 == 0 &&
               v.text.find_first_not_of("0123456789abcdef") == std::string::npos;
    case ValueType::Time:
        return v.kind == K::Null || (v.kind == K::Text && v.text.size() == 19 && v.text[10] == 'T');
    case ValueType::Boolean: return v.kind == K::Boolean;
    case ValueType::UnsignedList:
        return v.kind == K::List && std::all_of(v.items.begin(), v.items.end(), [](const Value& i) {
                   return i.kind == K::Integer && i.integer >= 0;
               });
    case ValueType::NameList:
        return v.kind == K::List &&
               std::all_of(v.items.begin(), v.items.end(), [](const Value& i) { return i.kind == K::Text; });
    case ValueType::Records:
        return v.kind == K::List && std::all_of(v.items.begin(), v.items.end(),
                                                [](const Value& i) { return i.kind == K::Object; });
    case ValueType::Object: return v.kind == K::Object;
    }
    return false;
}

// Checks `object` against `fields` (each value named there, of its type) and
// notes every name seen under `path`.
void check(const Value& object, std::span<const ValueField> fields, const std::string& path,
           std::set<std::string>& seen) {
    for (size_t i = 0; i < object.items.size(); ++i) {
        const std::string name = object.names[i];
        const Value& v = object.items[i];
        const auto field =
            std::find_if(fields.begin(), fields.end(), [&](const ValueField& f) { return name == f.name; });
        if (field == fields.end()) {
            ADD_FAILURE() << path << name << " is no value of the description";
            continue;
        }
        EXPECT_TRUE(matches(field->type, v)) << path << name << " is not of its description's type";
        seen.insert(path + name);
        if (field->type == ValueType::Records)
            for (const Value& item : v.items) check(item, field->fields, path + name + ".", seen);
        if (field->type == ValueType::Object) check(v, field->fields, path + name + ".", seen);
    }
}

// Every name a description promises, nested ones as "records.index".
void promised(std::span<const ValueField> fields, const std::string& path, std::set<std::string>& out) {
    for (const ValueField& f : fields) {
        out.insert(path + f.name);
        promised(f.fields, path + f.name + ".", out);
    }
}

// The request of a command's example: its -p1, -p2, -f and -s.
CommandRequest request_of(const packet::Command& c) {
    CommandRequest r;
    r.code = c.code;
    std::istringstream words(c.example);
    for (std::string word, value; words >> word;) {
        if (word == "-p1" && words >> value) r.param1 = parse_number(value);
        if (word == "-p2" && words >> value) r.param2 = parse_number(value);
        if (word == "-f" && words >> value) r.flag = static_cast<uint8_t>(parse_number(value));
        if (word == "-s" && words >> value) r.chunkSize = parse_number(value);
    }
    return r;
}

// Runs beyond the examples, for values that only some answers carry.
struct Extra {
    const char* keyword;
    uint32_t param1, param2;
    uint8_t flag;
    const char* why;
};
const Extra EXTRAS[] = {
    {"GR", 1, 0, 0, "a GPIO line in input mode: its function and activation"},
    {"GR", 2, 0, 0, "a GPIO line in output mode: its event and level"},
    {"TR", 0, 0, 0, "the clock as set"},
};

// What lies on the sensor and on the Wiegand input for a command whose example
// needs more than finger 3 of user 5: an administrator's verification (user 1,
// finger 1) first, or a fresh finger to enroll.
struct Setting {
    const char* keyword;
    const char* place;
    bool administrator; // user 1 made an administrator again (AC clears it)
    bool user5;         // user 5 enrolled again (DT deletes its templates)
};
const Setting SETTINGS[] = {
    {"CS", "none", false, false}, {"ESA", "1,4", true, false}, {"EWA", "1,4", true, false},
    {"DS", "3", false, true},     {"DSA", "1,3", true, true},  {"DW", "3", false, true},
    {"DWA", "1", true, true},
};

class Descriptors : public ::testing::Test {
protected:
    void TearDown() override {
        module_close();
        trace_reset();
    }
};

TEST_F(Descriptors, EveryCommandsValuesAreThoseOfItsDescription) {
    simtest::Sim sim;
    keyword_fill();
    trace_reset();
    ASSERT_EQ(module_open(sim.link.c_str(), 0x35, 0, 0, 1, 3000), 0);
    // These runs share one outcome, as a batch does: nothing of one may show in the next.
    Outcome reused;
    const auto run = [&reused](CommandRequest r) {
        run_command(r, reused);
        return reused;
    };
    // The inputs the commands' files hold: an image, templates, keys, passwords, data.
    const auto enroll = [&](uint32_t user, const char* finger) {
        sim.place(finger);
        return run({.code = packet::cmd::ES, .param1 = user, .flag = ADD_NEW_TEMPLATE}).result;
    };
    ASSERT_EQ(enroll(1, "1"), 0);
    ASSERT_EQ(enroll(5, "3"), 0);
    sim.place("3");
    const Outcome image = run({.code = packet::cmd::SI});
    ASSERT_EQ(image.output.size(), IMAGE_RECORD_SIZE);
    const Outcome one = run({.code = packet::cmd::RT, .param1 = 5});
    ASSERT_FALSE(one.output.empty());
    std::vector<uint8_t> two = one.output;
    two.insert(two.end(), one.output.begin(), one.output.end());
    const std::vector<uint8_t> factory(MASTER_PASSWORD_SIZE, '0');
    std::vector<uint8_t> passwords = factory;
    for (size_t i = 0; i < MASTER_PASSWORD_SIZE; ++i) passwords.push_back(static_cast<uint8_t>('a' + i));
    const std::vector<uint8_t> fresh(passwords.begin() + MASTER_PASSWORD_SIZE, passwords.end());
    const std::vector<uint8_t> firmware(256, 0x5a);
    // A clock that reads back as a date.
    ASSERT_EQ(run({.code = packet::cmd::TW, .param1 = 0x0c0732, .param2 = 0x1e0f09}).result, 0);

    std::vector<const packet::Command*> order;
    for (const packet::Command& c : packet::COMMANDS) order.push_back(&c);
    std::stable_sort(order.begin(), order.end(), [](const packet::Command* a, const packet::Command* b) {
        const auto rank = [](const packet::Command* c) {
            const auto at = std::find(LAST.begin(), LAST.end(), c->keyword);
            return at == LAST.end() ? 0 : 1 + static_cast<int>(at - LAST.begin());
        };
        return rank(a) < rank(b);
    });
    std::map<std::string, std::set<std::string>> seen;
    const auto record = [&](const packet::Command& c, const Outcome& o) {
        const std::span<const ValueField> fields =
            c.values ? c.values->fields : std::span<const ValueField>();
        check(o.values, fields, "", seen[c.keyword]);
    };
    for (const packet::Command* c : order) {
        SCOPED_TRACE(c->keyword);
        const std::string keyword = c->keyword;
        const auto setting = std::find_if(std::begin(SETTINGS), std::end(SETTINGS),
                                          [&](const Setting& s) { return keyword == s.keyword; });
        const bool set = setting != std::end(SETTINGS);
        if (set && setting->user5) {
            enroll(5, "3");
        }
        if (set && setting->administrator) {
            ASSERT_EQ(run({.code = packet::cmd::AW, .param1 = 1, .param2 = 3}).result, 0);
        }
        sim.control({"--place", set ? setting->place : "3", "--wiegand", "5", "--card", "5"});
        CommandRequest r = request_of(*c);
        std::vector<uint8_t> input;
        switch (c->files.input) {
        case packet::FileRole::None: break;
        case packet::FileRole::Image: input = image.output; break;
        case packet::FileRole::Templates:
            input = two;
            if (keyword == "ET" || keyword == "IT") input.resize(std::min<size_t>(input.size(), r.param2));
            break;
        case packet::FileRole::Firmware: input = firmware; break;
        case packet::FileRole::Password: input = keyword == "UM" ? fresh : passwords; break;
        case packet::FileRole::Key:
        case packet::FileRole::Data:
            input.assign(
                c->files.inputBytes != 0 ? c->files.inputBytes : r.param2 * (keyword == "GW" ? 8 : 1), 0x01);
            break;
        }
        if (c->files.input != packet::FileRole::None && !(c->files.inputOptional && input.empty()))
            r.input = std::span<const uint8_t>(input);
        const Outcome o = run_command(r);
        EXPECT_FALSE(o.hostRefused) << o.hostLine;
        record(*c, o);
        for (const Extra& e : EXTRAS) {
            if (keyword != e.keyword) continue;
            SCOPED_TRACE(e.why);
            record(*c, run({.code = c->code, .param1 = e.param1, .param2 = e.param2, .flag = e.flag}));
        }
    }
    // Every value a description names came in a run of its command.
    for (const packet::Command& c : packet::COMMANDS) {
        if (!c.values) continue;
        std::set<std::string> names;
        promised(c.values->fields, "", names);
        for (const std::string& name : names)
            EXPECT_TRUE(seen[c.keyword].count(name)) << c.keyword << ": no run gave " << name;
    }
}

} // namespace
