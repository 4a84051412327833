// Administrator levels (what a user may do at the module: enroll, delete or
// both) and authentication policies (how a user is let through: fingerprint,
// Wiegand or smart-card bypass, or always rejected): written, read and
// cleared per user; UL lists the users of one policy.
#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "families/Run.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

namespace cmd = packet::cmd;
using answers::ANY;
using sequence::AnswerTable;
using sequence::Sequence;
using sequence::SuccessLine;

using answers::no;
using answers::yes;

// The first value of the messages is the user ID; the second (rows marked 1)
// the level or the policy that the module does not support.
enum Column : size_t { AW_, AR_, AC_, UW_, UR_, UC_, UL_, COLUMNS };
constexpr int SECOND = 1;
// clang-format off
constexpr answers::ColumnRow<COLUMNS> answerTable[] = {
    // flag         message                                         code             AW   AR   AC   UW   UR   UC   UL
    {NOT_FOUND,     "%#x is not found\n",                           RES_NOT_FOUND,   {yes, yes, no,  yes, yes, no,  no}},
    {NOT_SUPPORTED, "Admin level %#x is not supported\n",           RES_NOT_FOUND,   {yes, no,  no,  no,  no,  no,  no}, SECOND},
    {NOT_SUPPORTED, "Authentication policy %#x is not supported\n", RES_NOT_FOUND,   {no,  no,  no,  yes, no,  no,  no}, SECOND},
    {INVALID_ID,    "%#x is invalid\n",                             RES_NOT_FOUND,   {yes, yes, no,  yes, yes, no,  no}},
    {SYSTEM_BUSY,   "System is busy\n",                             RES_SYSTEM_BUSY, {yes, yes, yes, yes, yes, yes, yes}},
    {ANY,           "Unknown error\n",                              RES_UNKNOWN,     {yes, yes, yes, yes, yes, yes, yes}},
};
// clang-format on

constexpr Sequence AW{.command = cmd::AW, .answer = AnswerTable{answerTable, AW_}};
constexpr Sequence AR{.command = cmd::AR,
                      .answer = AnswerTable{answerTable, AR_},
                      .success = SuccessLine::fields_only({FIELD_PARAM2, "level"})};
constexpr Sequence AC{.command = cmd::AC, .answer = AnswerTable{answerTable, AC_}};
constexpr Sequence UW{.command = cmd::UW, .answer = AnswerTable{answerTable, UW_}};
constexpr Sequence UR{.command = cmd::UR,
                      .answer = AnswerTable{answerTable, UR_},
                      .success = SuccessLine::fields_only({FIELD_PARAM2, "policy"})};
constexpr Sequence UC{.command = cmd::UC, .answer = AnswerTable{answerTable, UC_}};
constexpr Sequence UL{.command = cmd::UL,
                      .answer = AnswerTable{answerTable, UL_},
                      .success = SuccessLine::fields_only({FIELD_PARAM1, "count"})};

const char* level_name(uint32_t level) {
    return keyword_name(KW_ADMIN_LEVEL, static_cast<int>(level));
}
const char* policy_name(uint32_t policy) {
    return keyword_name(KW_AUTH_POLICY, static_cast<int>(policy));
}

constexpr run::Plain AC_RUN{&AC, "Clear admin level"};
constexpr run::Plain UC_RUN{&UC, "Reset authentication policy"};

} // namespace

int write_admin_level(uint32_t userId, uint32_t level) {
    trace(TRACE_CALL, "Write admin level(AW): %#x %s\n", userId, level_name(level));
    return sequence::run(AW, {.param1 = userId, .param2 = level, .arg = userId, .arg2 = level});
}

int read_admin_level(uint32_t userId, uint32_t* level) {
    trace(TRACE_CALL, "Read admin level(AR): %#x\n", userId);
    outcome::value("user_id", userId);
    uint32_t value = 0;
    const int rc = sequence::run(AR, {.param1 = userId, .arg = userId, .out = {&value, nullptr}});
    if (rc != 0) return rc;
    if (level) *level = value;
    trace(TRACE_CALL, "Admin level is %s\n", level_name(value));
    outcome::keyword("level_name", KW_ADMIN_LEVEL, static_cast<int>(value));
    return 0;
}

int clear_admin_levels() {
    return run::plain(AC_RUN);
}

// The flag goes as the packet's flag byte: its low 8 bits.
int write_auth_policy(uint32_t userId, uint32_t policy, uint8_t flag) {
    trace(TRACE_CALL, "Write authentication policy(UW): %#x %s %d\n", userId, policy_name(policy), flag);
    return sequence::run(UW,
                         {.param1 = userId, .param2 = policy, .flag = flag, .arg = userId, .arg2 = policy});
}

int read_auth_policy(uint32_t userId, uint32_t* policy) {
    trace(TRACE_CALL, "Read authentication policy(UR): %#x\n", userId);
    outcome::value("user_id", userId);
    uint32_t value = 0;
    const int rc = sequence::run(UR, {.param1 = userId, .arg = userId, .out = {&value, nullptr}});
    if (rc != 0) return rc;
    if (policy) *policy = value;
    trace(TRACE_CALL, "Authentication policy is %s\n", policy_name(value));
    outcome::keyword("policy_name", KW_AUTH_POLICY, static_cast<int>(value));
    return 0;
}

int reset_auth_policies() {
    return run::plain(UC_RUN);
}

int list_users_by_policy(uint32_t policy, uint32_t* count) {
    trace(TRACE_CALL, "List user IDs by authentication policy(UL): %s\n", policy_name(policy));
    outcome::value("policy", policy);
    outcome::keyword("policy_name", KW_AUTH_POLICY, static_cast<int>(policy));
    uint32_t value = 0;
    const int rc = sequence::run(UL, {.param2 = policy, .out = {&value, nullptr}});
    if (rc != 0) return rc;
    trace(TRACE_CALL, "Number of user IDs: %d\n", static_cast<int>(value));
    if (value > USER_ID_COUNT_MAX) {
        trace(TRACE_ERROR, "Number of user IDs %#x is beyond %#x\n", value, USER_ID_COUNT_MAX);
        return RES_DATA_ERROR;
    }
    if (count) *count = value;
    return 0;
}

// ------------------------------------------------------------- run_command

namespace {

// UL: the list is read whatever the caller does with it, so that the line is left clean.
int policy_users(const CommandRequest& r, Outcome& out) {
    uint32_t count = 0;
    if (const int rc = list_users_by_policy(r.param2, &count); rc != 0) return rc;
    if (const int rc = run::receive_output(out, 4 * static_cast<uint64_t>(count)); rc != 0) return rc;
    outcome::list("user_ids");
    for (size_t i = 0; i < count; ++i) outcome::append("user_ids", packet::get32(&out.output[4 * i]));
    return 0;
}

constexpr run::Registration RUNS[] = {
    {cmd::AW, [](const CommandRequest& r, Outcome&) { return write_admin_level(r.param1, r.param2); }},
    {cmd::AR,
     [](const CommandRequest& r, Outcome&) {
         uint32_t level = 0;
         return read_admin_level(r.param1, &level);
     }},
    {cmd::AC, nullptr, &AC_RUN},
    {cmd::UW,
     [](const CommandRequest& r, Outcome&) { return write_auth_policy(r.param1, r.param2, r.flag); }},
    {cmd::UR,
     [](const CommandRequest& r, Outcome&) {
         uint32_t policy = 0;
         return read_auth_policy(r.param1, &policy);
     }},
    {cmd::UC, nullptr, &UC_RUN},
    {cmd::UL, policy_users},
};

} // namespace

std::span<const run::Registration> run::admin_runs() {
    return RUNS;
}

} // namespace kelvor
