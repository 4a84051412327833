// Command cases of status and system parameters: SS, SR, SW, SF, CS.
#include "Commands.h"

using namespace kelvor;

namespace {

constexpr CommandCase CASES[] = {
    {0x04,
     [](OrvantiCom&) {
         uint32_t status = 0;
         return system_status_check(&status);
     }},
    {0x03,
     [](OrvantiCom& c) {
         uint32_t value = 0;
         return system_parameter_read(c.flag, &value);
     }},
    {0x01, [](OrvantiCom& c) { return system_parameter_write(c.flag, c.param2); }},
    {0x02, [](OrvantiCom&) { return system_parameter_save(); }},
    {0x1A, [](OrvantiCom&) { return calibrate_sensor(); }},
};

} // namespace

std::span<const CommandCase> system_cases() { return CASES; }
