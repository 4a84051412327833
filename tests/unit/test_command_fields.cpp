// The parameters made of several values, as the command rows lay them out,
// and the traits of the rows that front ends choose commands by.
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "ModuleSDK.h"
#include "protocol/Commands.h"

using namespace kelvor;
using namespace kelvor::packet;

namespace {

// The number given for an option in a row's example command line ("-p2 0x20300").
bool example_value(const Command& c, const char* option, uint32_t& value) {
    const std::string example = c.example;
    const std::string key = std::string(option) + " ";
    const size_t at = example.find(key);
    if (at == std::string::npos) return false;
    value = static_cast<uint32_t>(std::stoul(example.substr(at + key.size()), nullptr, 0));
    return true;
}

} // namespace

TEST(CommandFields, EachLayoutFitsItsParameterWithoutOverlap) {
    int layouts = 0;
    for (const Command& c : COMMANDS) {
        for (const OptionUse& u : c.uses) {
            if (!u.option || u.fields.empty()) continue;
            ++layouts;
            uint64_t taken = 0;
            std::set<std::string_view> names;
            for (const BitField& f : u.fields) {
                EXPECT_GT(f.bits, 0) << c.keyword << " " << u.option << " " << f.name;
                EXPECT_LE(f.shift + f.bits, 32) << c.keyword << " " << u.option << " " << f.name;
                const uint64_t bits = static_cast<uint64_t>(f.mask()) << f.shift;
                EXPECT_EQ(taken & bits, 0u) << c.keyword << " " << u.option << ": " << f.name << " overlaps";
                taken |= bits;
                EXPECT_TRUE(names.insert(f.name).second) << c.keyword << " " << u.option << ": " << f.name;
            }
            // Packing each field's largest value and unpacking it gives it back, the others zero.
            for (size_t i = 0; i < u.fields.size(); ++i) {
                uint32_t values[4] = {};
                ASSERT_LE(u.fields.size(), std::size(values));
                values[i] = u.fields[i].mask();
                uint32_t packed = 0;
                for (size_t k = 0; k < u.fields.size(); ++k)
                    packed |= (values[k] & u.fields[k].mask()) << u.fields[k].shift;
                EXPECT_EQ(pack(u.fields, values), packed);
                for (size_t k = 0; k < u.fields.size(); ++k)
                    EXPECT_EQ(unpack(u.fields[k], packed), values[k]) << c.keyword << " " << u.fields[k].name;
            }
            // The row's own example unpacks to values that pack to it again.
            uint32_t example = 0;
            if (example_value(c, u.option, example)) {
                uint32_t parts[4] = {};
                for (size_t k = 0; k < u.fields.size(); ++k) parts[k] = unpack(u.fields[k], example);
                EXPECT_EQ(pack(u.fields, parts), example) << c.keyword << " " << c.example;
            }
        }
    }
    EXPECT_GE(layouts, 10);
}

TEST(CommandFields, TheWordsOfTheRowsAndTheFieldsAgree) {
    // The examples the command reference shows, read field by field.
    struct Cell {
        const char* keyword;
        const char* option;
        const char* field;
        uint32_t parameter;
        uint32_t value;
    };
    const Cell cells[] = {
        {"ETX", "-p2", "count", 0x20300, 2},
        {"ETX", "-p2", "size", 0x20300, 0x300},
        {"ECX", "-p2", "count", 0x10180, 1},
        {"ECX", "-p2", "size", 0x10180, 0x180},
        {"WW", "-p1", "fc_bits", 0x80100, 8},
        {"WW", "-p1", "format", 0x80100, 1},
        {"WW", "-p1", "function", 0x80100, 0},
        {"WWX", "-p1", "pulse_width", 0x6403e8, 0x64},
        {"WWX", "-p1", "pulse_interval", 0x6403e8, 0x3e8},
        {"WPW", "-p1", "input", 0x10000, 1},
        {"WPW", "-p1", "output", 0x10000, 0},
        {"OW", "-p2", "high", 0x640064, 0x64},
        {"OW", "-p1", "event", 0x87, 0x87},
        {"GW", "-p1", "mode", 0x20000, 2},
        {"GW", "-p1", "gpio", 0x20000, 0},
        {"TW", "-p1", "day", 0x70c1a, 7},
        {"TW", "-p1", "month", 0x70c1a, 12},
        {"TW", "-p1", "year", 0x70c1a, 26},
        {"TW", "-p2", "hour", 0x1e0c, 12},
        {"TW", "-p2", "minute", 0x1e0c, 0x1e},
    };
    for (const Cell& cell : cells) {
        const Command* c = nullptr;
        for (const Command& row : COMMANDS)
            if (std::string_view(row.keyword) == cell.keyword) c = &row;
        ASSERT_NE(c, nullptr) << cell.keyword;
        const BitField* f = nullptr;
        for (const BitField& b : c->fields_of(cell.option))
            if (std::string_view(b.name) == cell.field) f = &b;
        ASSERT_NE(f, nullptr) << cell.keyword << " " << cell.option << " " << cell.field;
        EXPECT_EQ(unpack(*f, cell.parameter), cell.value) << cell.keyword << " " << cell.field;
    }
}

TEST(CommandFields, ThePublicHelpersPackAsTheRows) {
    // The public header's own helpers for the Wiegand parameters, against the rows.
    const WiegandConfig config{0x1a, 0x02, 0x31, 0};
    EXPECT_EQ(wiegand_config_param1(config),
              pack(describe("WW").fields_of("-p1"), {config.fcBits, config.format, config.function}));
    EXPECT_EQ(wiegand_pulse_param1(0x64, 0x3e8), pack(describe("WWX").fields_of("-p1"), {0x64u, 0x3e8u}));
    EXPECT_EQ(wiegand_io_param1(3, 4), pack(describe("WPW").fields_of("-p1"), {3u, 4u}));
}

TEST(CommandTraits, FrontEndsFindThemInTheRows) {
    for (const Command& c : COMMANDS) {
        // A command that takes a directory says so to the operator as well.
        const OptionUse* input = c.use("-i");
        const bool saysDirectory = input && std::strstr(input->meaning, "directory") != nullptr;
        EXPECT_EQ(c.has(trait::TAKES_DIRECTORY), saysDirectory) << c.keyword;
        if (c.has(trait::TAKES_DIRECTORY)) {
            EXPECT_TRUE(c.files.input == FileRole::Image || c.files.input == FileRole::Templates)
                << c.keyword;
        }
        EXPECT_EQ(command_has(c.code, trait::SCANS_FINGER), c.has(trait::SCANS_FINGER)) << c.keyword;
    }
    // A command that waits for a finger takes no file of one.
    for (const Command& c : COMMANDS)
        if (c.has(trait::SCANS_FINGER)) {
            EXPECT_FALSE(c.has(trait::TAKES_DIRECTORY)) << c.keyword;
            EXPECT_NE(c.files.input, FileRole::Image) << c.keyword;
        }
    EXPECT_FALSE(command_has(0xff, trait::SCANS_FINGER));
    EXPECT_EQ(command_of(0xff), nullptr);
}
