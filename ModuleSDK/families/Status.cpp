// The status check (SS) and the system-parameter read (SR), which the
// connection opening runs itself and the operator can give too.
#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

using sequence::SuccessLine;

// The status is reported whatever the flag says: a failing sensor is news,
// not a failure of the check.
constexpr answers::Row anyStatus[] = {{answers::ANY, nullptr, answers::GO_ON}};
constexpr sequence::Sequence SS{.command = packet::cmd::SS,
                                .answer = anyStatus,
                                .success = SuccessLine::fields_only({FIELD_PARAM1, "status"}),
                                .fieldsOnEveryFlag = true};

constexpr answers::Row parameterRead[] = {
    {NOT_FOUND, "Not found\n", RES_NOT_FOUND},
    {answers::ANY, "Unknown error\n", RES_UNKNOWN},
};
// The value comes back even with a refusal: the connection opening takes it as it is.
constexpr sequence::Sequence SR{.command = packet::cmd::SR,
                                .answer = parameterRead,
                                .success = SuccessLine::fields_only({FIELD_PARAM2, "value"}),
                                .fieldsOnEveryFlag = true};

} // namespace

int system_status_check(uint32_t* status) {
    trace(TRACE_CALL, "Check system status(SS)\n");
    if (int rc = sequence::run(SS, {.out = {status, nullptr}}); rc < 0) return rc;
    trace_more(TRACE_CALL, "      %s(%#02x)\n", keyword_name(KW_STATUS, static_cast<int>(*status)), *status);
    outcome::keyword("status_name", KW_STATUS, static_cast<int>(*status));
    return 0;
}

int system_parameter_read(uint8_t number, uint32_t* value) {
    const char* name = keyword_name(KW_PARAMETER, number);
    trace(TRACE_CALL, "System Parameter Read(SR): %s(%#02x)\n", name, number);
    outcome::value("parameter", number);
    outcome::text("parameter_name", name);
    const int rc = sequence::run(SR, {.flag = number, .out = {value, nullptr}});
    if (rc == answers::GO_ON) trace_more(TRACE_CALL, "      %s(%#02x): %#x\n", name, number, *value);
    return rc;
}

} // namespace kelvor
