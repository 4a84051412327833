// The module's template database, keyed by user ID (one ID may hold several
// templates): read a user's templates (RT) or a freshly scanned one (ST), list
// user IDs (LT) and template records (LTX), count a user's templates (CT),
// delete by ID, all, by a scanned finger or by the Wiegand input (with or
// without an administrator's verification), and settle provisional templates.
#include <algorithm>

#include "ModuleSDK.h"
#include "engine/Sequence.h"
#include "engine/Tables.h"
#include "families/Enroll.h"
#include "families/Run.h"
#include "families/ScanTemplate.h"
#include "link/Blocks.h"
#include "protocol/Commands.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace {

namespace cmd = packet::cmd;
using answers::ANY;
using answers::GO_ON;
using sequence::AnswerTable;
using sequence::Sequence;
using sequence::SuccessLine;

using answers::no;
using answers::yes;

// -------------------------------------------------------- single answers
// "%#x" is the user ID of the call.
constexpr answers::Row dtAnswer[] = {
    {NOT_FOUND, "User id %#x is not found\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Delete: Unknown error\n", RES_UNKNOWN},
};
constexpr answers::Row daAnswer[] = {
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Delete: Unknown error\n", RES_UNKNOWN},
};
constexpr answers::Row dpAnswer[] = {
    {NOT_FOUND, "Delet: Not found\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Delete: Unknown error\n", RES_UNKNOWN},
};
constexpr answers::Row fpAnswer[] = {
    {NOT_FOUND, "Not found\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr answers::Row ctAnswer[] = {
    {NOT_FOUND, "%#x is not found\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
constexpr answers::Row rtAnswer[] = {
    {NOT_FOUND, "Cannot found the template\n", RES_NOT_FOUND},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};

constexpr SuccessLine deleted{"      Delete Succeed\n"};
using template_scan::templateSize;
constexpr SuccessLine templatesCounted{"      Num of templates: %#x\n", {FIELD_PARAM2, "templates"}};

// RT: ENROLL_CONTINUE announces a template with more of the user's after it.
constexpr sequence::Accept rtMore[] = {
    {ENROLL_CONTINUE, SuccessLine{"      Template Size: %#x More Templates\n", {FIELD_PARAM2, "bytes"}},
     MORE_TEMPLATES},
};
// CT: a user ID in use is a user ID with templates, told like SUCCEED.
constexpr sequence::Accept ctInUse[] = {{ID_ALREADY_USED, templatesCounted, 0}};

constexpr Sequence RT{.command = cmd::RT, .answer = rtAnswer, .success = templateSize, .accepts = rtMore};
constexpr Sequence DT{.command = cmd::DT, .answer = dtAnswer, .success = deleted};
constexpr Sequence DA{.command = cmd::DA, .answer = daAnswer, .success = deleted};
constexpr Sequence DP{.command = cmd::DP, .answer = dpAnswer, .success = deleted};
constexpr Sequence FP{.command = cmd::FP, .answer = fpAnswer, .success = SuccessLine{"      Fix Succeed\n"}};
constexpr Sequence LT{.command = cmd::LT,
                      .answer = answers::busyOrUnknown,
                      .success = SuccessLine{"      Num of user id: %#x\n", {FIELD_PARAM1, "count"}}};
constexpr Sequence CT{
    .command = cmd::CT, .answer = ctAnswer, .success = templatesCounted, .accepts = ctInUse};

// ------------------------------------------------------------ scan commands
constexpr answers::Row wiegandScanWait[] = {
    {SCAN_SUCCESS, nullptr, GO_ON},
    {ANY, "Wiegand scan failed\n", RES_SCAN_FAILED},
};
constexpr auto& fingerWaits = answers::scanWaits;
constexpr answers::Table wiegandWaits[] = {wiegandScanWait};

// Final answer of the deletes by scan, with and without an administrator.
enum ScanColumn : size_t { DS_, DSA_, SCAN_COLUMNS };
// clang-format off
constexpr answers::ColumnRow<SCAN_COLUMNS> scanDeleteAnswer[] = {
    // flag            message                                                 code                  DS   DSA
    {SCAN_FAILED,      "Scan failed\n",                                        RES_SCAN_FAILED,      {yes, yes}},
    {NOT_FOUND,        "Not found\n",                                          RES_NOT_FOUND,        {yes, yes}},
    {TRY_AGAIN,        "Try again\n",                                          RES_TRY_AGAIN,        {yes, yes}},
    {TIMEOUT,          "Timeout\n",                                            RES_TIMEOUT,          {yes, yes}},
    {TIMEOUT_MATCHING, "Timeout matching\n",                                   RES_TIMEOUT_MATCHING, {yes, yes}},
    {NOT_SUPPORTED,    "Cannot delete an administrator using DSA command\n",   RES_NOT_SUPPORTED,    {no,  yes}},
    {SYSTEM_BUSY,      "System is busy\n",                                     RES_SYSTEM_BUSY,      {yes, yes}},
    {CANCELLED,        "Command is cancelled\n",                               RES_CANCELLED,        {yes, yes}},
    {ANY,              "Unknown error\n",                                      RES_UNKNOWN,          {yes, yes}},
};
// clang-format on

// Final answer of the deletes by Wiegand input; the refusal names DSA in both.
enum WiegandColumn : size_t { DW_, DWA_, WIEGAND_COLUMNS };
// clang-format off
constexpr answers::ColumnRow<WIEGAND_COLUMNS> wiegandDeleteAnswer[] = {
    // flag            message                                                 code                  DW   DWA
    {NOT_FOUND,        "User id is not found\n",                               RES_NOT_FOUND,        {yes, yes}},
    {TIMEOUT,          "Timeout\n",                                            RES_TIMEOUT,          {yes, yes}},
    {NOT_SUPPORTED,    "Cannot delete an administrator using DSA command\n",   RES_NOT_SUPPORTED,    {no,  yes}},
    {SYSTEM_BUSY,      "System is busy\n",                                     RES_SYSTEM_BUSY,      {yes, yes}},
    {CANCELLED,        "Command is cancelled\n",                               RES_CANCELLED,        {yes, yes}},
    {ANY,              "Delete: Unknown error\n",                              RES_UNKNOWN,          {yes, yes}},
};
// clang-format on

// The administrator stage of DAA: a module with nothing to verify may delete at once.
constexpr auto daaAdministratorStage =
    answers::with_row(answers::administratorStage, 1, {SUCCEED, "Delete succeed\n", answers::FINISHED});

constexpr SuccessLine deletedUser{"      Delete Succeed %#x\n", {FIELD_PARAM1, "user_id"}};

constexpr Sequence DS{.command = cmd::DS, .waits = fingerWaits, .answer = AnswerTable{scanDeleteAnswer, DS_}};
constexpr Sequence DSA{.command = cmd::DSA,
                       .admin = answers::administratorStage,
                       .waits = fingerWaits,
                       .answer = AnswerTable{scanDeleteAnswer, DSA_}};
constexpr Sequence DW{.command = cmd::DW,
                      .waits = wiegandWaits,
                      .answer = AnswerTable{wiegandDeleteAnswer, DW_},
                      .success = deletedUser};
constexpr Sequence DWA{.command = cmd::DWA,
                       .admin = answers::administratorStage,
                       .waits = wiegandWaits,
                       .answer = AnswerTable{wiegandDeleteAnswer, DWA_},
                       .success = deletedUser};
constexpr Sequence DAA{
    .command = cmd::DAA, .admin = daaAdministratorStage, .answer = daAnswer, .success = deleted};

// A size or count the module announced, beyond what the library takes.
int beyond_limit(const char* what, uint64_t value, uint64_t limit) {
    trace(TRACE_ERROR, "%s %#llx is beyond %#llx\n", what, static_cast<unsigned long long>(value),
          static_cast<unsigned long long>(limit));
    return RES_DATA_ERROR;
}

// ----------------------------------------------------------------- LTX
constexpr answers::Row ltxAnswer[] = {
    {INVALID_ID, "Invalid index\n", RES_INVALID_ID},
    {SYSTEM_BUSY, "System is busy\n", RES_SYSTEM_BUSY},
    {ANY, "Unknown error\n", RES_UNKNOWN},
};
// The record count and the bytes of the records that follow in chunks.
constexpr Sequence LTX{.command = cmd::LTX,
                       .answer = ltxAnswer,
                       .success =
                           SuccessLine::fields_only({FIELD_PARAM1, "templates"}, {FIELD_PARAM2, "bytes"})};

// One chunk of template records into `buffer` at `received`; its length in `length`.
int receive_info_chunk(std::span<uint8_t> buffer, size_t received, uint32_t& length) {
    AnswerPacket header{};
    if (int rc = receive_chunk_header(header); rc < 0) {
        return serial_interrupted() ? chunk_cut_short(static_cast<uint8_t>(link_state().awaitedCommand), rc)
                                    : rc;
    }
    const auto command = static_cast<uint8_t>(answer_field(FIELD_COMMAND, header));
    length = answer_field(FIELD_PARAM2, header);
    if (length == 0) return 0;
    if (length > buffer.size() - received) {
        // Refused before a byte of it is read: the records end where the buffer does.
        trace(TRACE_ERROR, "Chunk of %#x bytes passes the end of the records at %#zx\n", length,
              buffer.size());
        return RES_DATA_ERROR;
    }
    bool good = false;
    if (int rc = receive_chunk_body(command, buffer.subspan(received, length), true, good); rc < 0) return rc;
    if (good) return 0;
    trace(TRACE_ERROR, "Template info chunk checksum error at %#zx\n", received);
    return RES_DATA_ERROR;
}

void trace_template_info(const uint8_t* record, uint32_t i) {
    const auto user = static_cast<int32_t>(packet::get32(record));
    const int value1 = record[4];
    const int packed = record[5];
    trace(TRACE_CALL, "%d: %d(%d): %d %d %d %#04x\n", static_cast<int>(i), user, packed & 0x0F, value1,
          (packed >> 4) & 0x03, (packed >> 6) & 0x03, packet::get16(record + 6));
    outcome::item_begin("records");
    outcome::value("index", i);
    outcome::value("user_id", user);
    outcome::value("value1", value1);
    outcome::value("value2", packed & 0x0F);
    outcome::value("value3", (packed >> 4) & 0x03);
    outcome::value("value4", (packed >> 6) & 0x03);
    outcome::value("value5", packet::get16(record + 6));
    outcome::item_end();
}

constexpr run::Plain DA_RUN{&DA, "Delete All Templates"};
constexpr run::Plain DAA_RUN{&DAA, "Delete All Templates with admin's verification"};
constexpr run::Plain DP_RUN{&DP, "Delete All Provisional Templates"};
constexpr run::Plain FP_RUN{&FP, "Fix All Provisional Templates"};
constexpr run::Plain DW_RUN{&DW, "Delete Template by Wiegand"};
constexpr run::Plain DWA_RUN{&DWA, "Delete Template by Wiegand with admin's verification"};

} // namespace

int read_template(uint32_t userId, uint32_t* size) {
    trace(TRACE_CALL, "Read Template(RT): %#x\n", userId);
    outcome::value("user_id", userId);
    uint32_t announced = 0;
    const int rc = sequence::run(RT, {.param1 = userId, .arg = userId, .out = {&announced, nullptr}});
    if (rc < 0) return rc;
    if (announced > TEMPLATE_SIZE_MAX) return beyond_limit("Template size", announced, TEMPLATE_SIZE_MAX);
    if (size) *size = announced;
    return rc;
}

int scan_template(uint32_t* size) {
    trace(TRACE_CALL, "Scan Template(ST)\n");
    uint32_t announced = 0;
    const int rc = sequence::run(template_scan::ST, {.out = {&announced, nullptr}});
    if (rc < 0) return rc;
    if (announced > TEMPLATE_SIZE_MAX) return beyond_limit("Template size", announced, TEMPLATE_SIZE_MAX);
    if (size) *size = announced;
    return rc;
}

int delete_template(uint32_t userId) {
    trace(TRACE_CALL, "Delete Template(DT): %#x\n", userId);
    return sequence::run(DT, {.param1 = userId, .arg = userId});
}

int delete_all_templates() {
    return run::plain(DA_RUN);
}

int delete_all_templates_with_admin() {
    return run::plain(DAA_RUN);
}

int delete_provisional_templates() {
    return run::plain(DP_RUN);
}

int fix_provisional_templates() {
    return run::plain(FP_RUN);
}

// The two values go to the module uninterpreted.
int list_user_ids(uint32_t first, uint32_t second, uint32_t* count) {
    trace(TRACE_CALL, "List User IDs(LT): %d %d\n", static_cast<int>(first), static_cast<int>(second));
    uint32_t announced = 0;
    const int rc = sequence::run(LT, {.param1 = first, .param2 = second, .out = {&announced, nullptr}});
    if (rc < 0) return rc;
    if (announced > USER_ID_COUNT_MAX)
        return beyond_limit("Number of user IDs", announced, USER_ID_COUNT_MAX);
    if (count) *count = announced;
    return rc;
}

int get_user_data(std::span<uint8_t> buffer, uint32_t count) {
    trace(TRACE_CALL, "Get User Data: %#x\n", count);
    const uint64_t bytes = 4 * static_cast<uint64_t>(count);
    if (bytes > buffer.size()) return beyond_limit("User ID list of bytes", bytes, buffer.size());
    return receive_data(buffer.first(static_cast<size_t>(bytes)));
}

int check_user_id(uint32_t userId, uint32_t* templates) {
    trace(TRACE_CALL, "Check User ID(CT): %#x\n", userId);
    outcome::value("user_id", userId);
    return sequence::run(CT, {.param1 = userId, .arg = userId, .out = {templates, nullptr}});
}

namespace {
uint32_t scan_delete_param1(uint16_t first, uint16_t second) {
    return packet::pack(packet::fields::ID_RANGE, {first, second});
}
} // namespace

int delete_template_by_scan(uint16_t first, uint16_t second) {
    trace(TRACE_CALL, "Delete Template by Scan(DS) %#x %#x\n", first, second);
    return sequence::run(DS, {.param1 = scan_delete_param1(first, second)});
}

int delete_template_by_scan_with_admin(uint16_t first, uint16_t second) {
    trace(TRACE_CALL, "Delete Template by Scan with admin's verification(DSA) %#x %#x\n", first, second);
    return sequence::run(DSA, {.param1 = scan_delete_param1(first, second)});
}

int delete_template_by_wiegand(uint32_t* userId) {
    return run::plain(DW_RUN, {.out = {userId, nullptr}});
}

int delete_template_by_wiegand_with_admin(uint32_t* userId) {
    return run::plain(DWA_RUN, {.out = {userId, nullptr}});
}

int read_template_info(uint32_t index, std::span<uint8_t> buffer, uint32_t* number) {
    trace(TRACE_CALL, "Get Template Info(LTX): %d\n", static_cast<int>(index));
    uint32_t templates = 0;
    uint32_t total = 0;
    if (int rc = sequence::run(LTX, {.param2 = index, .out = {&templates, &total}}); rc != GO_ON) return rc;
    if (number) *number = templates;
    trace(TRACE_CALL, "Num Of Template: %d\n", static_cast<int>(templates));
    outcome::value("index", index);
    outcome::list("records");
    size_t received = 0;
    while (received < total) {
        uint32_t length = 0;
        if (int rc = receive_info_chunk(buffer, received, length); rc != 0) return rc;
        if (length == 0) break; // an empty chunk ends the transfer
        received += length;
    }
    // Only records that arrived whole are printed.
    const uint64_t whole = std::min<uint64_t>(templates, received / TEMPLATE_INFO_SIZE);
    for (uint32_t i = 0; i < whole; ++i) trace_template_info(buffer.data() + TEMPLATE_INFO_SIZE * i, i);
    return 0;
}

// ------------------------------------------------------------- run_command

namespace {

// RT: every template of the user, one after the other, appended to the
// output. A template whose data did not arrive is skipped; the loop goes on
// while the module announces more. The result is the first step that failed,
// so a transfer that lost a template never counts as a success.
int read_templates(const CommandRequest& r, Outcome& out) {
    uint32_t size = 0;
    const int first = read_template(r.param1, &size);
    int step = first;
    int failed = 0;
    while (step == 0 || step == MORE_TEMPLATES) {
        // Every template of the sequence has the size of the first answer.
        std::vector<uint8_t> data(size);
        if (const int rc = receive_data(data); rc == 0) {
            outcome::append("template_bytes", size);
            out.output.insert(out.output.end(), data.begin(), data.end());
            out.outputTaken = true;
        } else if (failed == 0) {
            failed = rc;
        }
        if (step == 0) break;
        AnswerPacket next{};
        if (const int rc = receive_answer(next); rc < 0) {
            run::host_line(out, HOST_CHECK_NOT_RECEIVED, rc, "Err: Cannot receive packet\n");
            if (failed == 0) failed = rc;
            break;
        }
        const uint8_t flag = answers::flag_of(next);
        if (flag == SUCCEED) {
            step = 0;
        } else if (flag == ENROLL_CONTINUE) {
            step = MORE_TEMPLATES;
        } else {
            // The templates announced did not all come: the loop ends without
            // a line, but the result tells it.
            if (failed == 0) failed = RES_UNKNOWN;
            break;
        }
    }
    return first < 0 ? first : failed;
}

int scan_template_out(const CommandRequest&, Outcome& out) {
    uint32_t size = 0;
    if (const int rc = scan_template(&size); rc != 0) return rc;
    return run::receive_output(out, size);
}

// LT: the IDs, 32-bit little-endian, as the output and as the values.
int list_users(const CommandRequest& r, Outcome& out) {
    uint32_t count = 0;
    outcome::list("user_ids");
    if (const int rc = list_user_ids(r.param1, r.param2, &count); rc != 0 || count == 0) return rc;
    out.output.assign(4 * static_cast<size_t>(count), 0);
    if (const int rc = get_user_data(out.output, count); rc != 0) return rc;
    outcome::list("user_ids");
    for (size_t i = 0; i < count; ++i) outcome::append("user_ids", packet::get32(&out.output[4 * i]));
    out.outputTaken = true;
    return 0;
}

// LTX: the records buffer holds as many records as the module has templates enrolled.
int template_info(const CommandRequest& r, Outcome& out) {
    uint32_t enrolled = 0;
    if (const int rc = system_parameter_read(packet::param::ENROLLED_FINGERPRINTS, &enrolled); rc != 0)
        return rc;
    if (enrolled == 0) return run::refuse(out, HOST_CHECK_NOTHING, "Err: No template is enrolled\n");
    if (constexpr uint32_t most = packet::describe("LTX").announced.most; enrolled > most)
        return run::refuse(out, HOST_CHECK_ANNOUNCED, "Err: Enrolled fingerprints %#x are beyond %#x\n",
                           enrolled, most);
    std::vector<uint8_t> records(TEMPLATE_INFO_SIZE * enrolled);
    uint32_t number = 0;
    return read_template_info(r.param2, records, &number);
}

constexpr run::Registration RUNS[] = {
    {cmd::RT, read_templates},
    {cmd::ST, scan_template_out},
    {cmd::DT, [](const CommandRequest& r, Outcome&) { return delete_template(r.param1); }},
    {cmd::DA, nullptr, &DA_RUN},
    {cmd::DAA, nullptr, &DAA_RUN},
    {cmd::DP, nullptr, &DP_RUN},
    {cmd::FP, nullptr, &FP_RUN},
    {cmd::LT, list_users},
    {cmd::CT,
     [](const CommandRequest& r, Outcome&) {
         uint32_t templates = 0;
         return check_user_id(r.param1, &templates);
     }},
    {cmd::DS, [](const CommandRequest&, Outcome&) { return delete_template_by_scan(0, 0); }},
    {cmd::DSA, [](const CommandRequest&, Outcome&) { return delete_template_by_scan_with_admin(0, 0); }},
    {cmd::DW, nullptr, &DW_RUN},
    {cmd::DWA, nullptr, &DWA_RUN},
    {cmd::LTX, template_info},
};

} // namespace

std::span<const run::Registration> run::database_runs() {
    return RUNS;
}

} // namespace kelvor
