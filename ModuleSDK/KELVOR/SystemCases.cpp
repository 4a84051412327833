// Command cases of status and system parameters: SS, SR, SW, SF, CS.
#include "Commands.h"

using namespace kelvor;

namespace {

constexpr CommandCase CASES[] = {
    {packet::cmd::SS,
     [](OrvantiCom&) {
         uint32_t status = 0;
         return system_status_check(&status);
     }},
    {packet::cmd::SR,
     [](OrvantiCom& c) {
         uint32_t value = 0;
         return system_parameter_read(c.flag, &value);
     }},
    {packet::cmd::SW, [](OrvantiCom& c) { return system_parameter_write(c.flag, c.param2); }},
    {packet::cmd::SF, [](OrvantiCom&) { return system_parameter_save(); }},
    {packet::cmd::CS, [](OrvantiCom&) { return calibrate_sensor(); }},
};

} // namespace

std::span<const CommandCase> system_cases() { return CASES; }
