// The status check (SS) and the system-parameter read (SR), which the
// connection opening runs itself and the operator can give too.
#include "engine/Answers.h"
#include "ModuleSDK.h"

namespace kelvor {

namespace {

constexpr answers::Row PARAMETER_READ[] = {
    {SUCCEED, nullptr, answers::GO_ON},
    {NOT_FOUND, "Not found\n", RES_NOT_FOUND},
    {answers::ANY, "Unknown error\n", RES_UNKNOWN},
};

} // namespace

int system_status_check(uint32_t* status) {
    trace(TRACE_CALL, "Check system status(SS)\n");
    if (int rc = send_command(packet::cmd::SS, 0, 0, 0); rc < 0) return rc;
    AnswerPacket answer{};
    if (int rc = receive_answer(answer); rc < 0) return rc;
    // The status is reported whatever the flag says: a failing sensor is news,
    // not a failure of the check.
    *status = answer_field(FIELD_PARAM1, answer);
    trace_more(TRACE_CALL, "      %s(%#02x)\n", keyword_name(KW_STATUS, static_cast<int>(*status)), *status);
    return 0;
}

int system_parameter_read(uint8_t number, uint32_t* value) {
    const char* name = keyword_name(KW_PARAMETER, number);
    trace(TRACE_CALL, "System Parameter Read(SR): %s(%#02x)\n", name, number);
    if (int rc = send_command(packet::cmd::SR, 0, 0, number); rc < 0) return rc;
    AnswerPacket answer{};
    if (int rc = receive_answer(answer); rc < 0) return rc;
    *value = answer_field(FIELD_PARAM2, answer);
    int rc = answers::apply(PARAMETER_READ, answers::flag_of(answer));
    if (rc == answers::GO_ON) trace_more(TRACE_CALL, "      %s(%#02x): %#x\n", name, number, *value);
    return rc;
}

} // namespace kelvor
