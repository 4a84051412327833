#include "engine/Sequence.h"

#include <algorithm>

#include "link/Blocks.h"
#include "trace/Outcome.h"

namespace kelvor {

namespace sequence {
namespace {

using answers::GO_ON;

// link_write counts in int: a template of more than this is written in parts.
constexpr uint32_t RAW_WRITE_MAX = 1u << 30;

int administrator_stage(answers::Table table, uint32_t arg, uint32_t second) {
    AnswerPacket answer{};
    if (int rc = receive_answer(answer); rc < 0) return rc;
    if (answers::flag_of(answer) == SCAN_SUCCESS) {
        if (int rc = receive_answer(answer); rc < 0) return rc;
    }
    return answers::apply(table, answers::flag_of(answer), arg, second);
}

int scan_waits(std::span<const answers::Table> waits, uint32_t arg) {
    for (answers::Table wait : waits) {
        if (int rc = answers::scan_wait(wait, arg); rc != GO_ON) return rc;
    }
    return GO_ON;
}

// Template bytes and end code straight through the link: neither traced nor
// checked for a short count.
int write_raw_template(const uint8_t* bytes, uint32_t n) {
    // An empty template writes nothing but its end code.
    while (n > 0) {
        const uint32_t part = std::min(n, RAW_WRITE_MAX);
        const int w = link_write_progress(bytes, static_cast<int>(part));
        if (w == ERR_STOPPED) return w;
        if (w < 0) {
            trace(TRACE_ERROR, "Cannot write serial port\n");
            return ERR_WRITE;
        }
        bytes += part;
        n -= part;
    }
    const uint8_t end = packet::END_CODE;
    if (link_write(&end, 1) < 0) {
        trace(TRACE_ERROR, "Cannot write the end code\n");
        return ERR_WRITE;
    }
    return 0;
}

int send_payload(const Sequence& s, const Request& r) {
    switch (s.transfer) {
    case Transfer::None: return 0;
    case Transfer::Block: return send_data(r.data, r.size);
    case Transfer::BlockIfAny: return r.size > 0 ? send_data(r.data, r.size) : 0;
    case Transfer::Chunks: return send_data_chunks(s.command, r.data, r.size, r.chunkSize);
    case Transfer::Raw:
        for (uint32_t i = 0; i < r.count; ++i) {
            if (int rc = write_raw_template(r.data + static_cast<size_t>(i) * r.size, r.size); rc < 0)
                return rc;
        }
        return 0;
    }
    return 0;
}

// The values of the success line's fields in `answer`, handed back where the call asks.
std::array<uint32_t, 2> hand_back(const SuccessLine& line, const AnswerPacket& answer, const Request& r) {
    std::array<uint32_t, 2> values{};
    for (size_t i = 0; i < values.size(); ++i) {
        if (line.fields[i] == SuccessLine::NONE) continue;
        values[i] = answer_field(line.fields[i], answer);
        if (r.out[i]) *r.out[i] = values[i];
        if (line.names[i].name()) outcome::value(line.names[i], values[i]);
    }
    return values;
}

// SUCCEED: hands back and prints the fields of the success line.
int succeed(const SuccessLine& line, const AnswerPacket& answer, const Request& r) {
    const std::array<uint32_t, 2> values = hand_back(line, answer, r);
    if (line.text) {
        // The line was checked at compile time to hold one "%#x" per field.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
        if (line.type != 0)
            trace(line.type, line.text, values[0], values[1]);
        else
            trace_more(TRACE_CALL, line.text, values[0], values[1]);
#pragma GCC diagnostic pop
        answers::keep_message(line.text, values[0], values[1]);
    }
    return 0;
}

// The value that fills the "%#x" of an answer table's message.
uint32_t message_arg(bool fromAnswer, const AnswerPacket& answer, const Request& r) {
    return fromAnswer ? answer_field(FIELD_PARAM1, answer) : r.arg;
}

int second_scan(const SecondScan& second, bool argFromAnswer, const Request& r) {
    const int mode = module_settings().enrollMode;
    if (mode == packet::setting::ENROLL_HOST_CONTINUES ||
        mode == packet::setting::ENROLL_HOST_CONTINUES_ALT) {
        if (int rc = send_command(second.command, r.param1, 0, ENROLL_CONTINUE); rc < 0) return rc;
    }
    if (int rc = scan_waits(second.waits, r.arg); rc != GO_ON) return rc;
    AnswerPacket answer{};
    if (int rc = receive_answer(answer); rc < 0) return rc;
    if (const uint8_t flag = answers::flag_of(answer); flag != SUCCEED)
        return second.answer.apply(flag, message_arg(argFromAnswer, answer, r), r.arg2);
    return succeed(second.success, answer, r);
}

// Whether the call's data can go out as described: checked before the command
// packet, so that no module is left waiting for data that never come.
int payload_check(const Sequence& s, const Request& r) {
    switch (s.transfer) {
    case Transfer::None: return 0;
    case Transfer::Block:
    case Transfer::BlockIfAny: return data_block_check(r.size);
    case Transfer::Chunks: return data_chunks_check(r.size, r.chunkSize);
    case Transfer::Raw: return 0; // written in parts of any size
    }
    return 0;
}

// Chunks to the module that the host stopped leave the module waiting for
// the next chunk: a cancel ends that wait. The module answers it under the
// code of the command it gives up (or, when it had given up already, under the
// cancel's own); a CANCELLED answer has the cancel's answer follow.
void cancel_stopped_chunks() {
    LinkState& link = link_state();
    link.unsettled = false; // the module is waiting for the host: nothing is on its way
    if (send_command(packet::cmd::CA, 0, 0, 0) == 0 && !serial_interrupted()) {
        AnswerPacket answer{};
        if (receive_answer_any(answer) == 0 && answers::flag_of(answer) == CANCELLED)
            receive_answer_any(answer);
    }
    // Whatever else the module has to say is dropped before the next command.
    link.unsettled = true;
}

// Whether the command is complete without the module's answer: nothing to
// hand back, no answer to wait for before the data or between chunks, no step
// that depends on the answer.
bool needs_no_answer(const Sequence& s) {
    return s.admin.empty() && s.before.empty() && s.transfer != Transfer::Chunks && s.second == nullptr &&
           s.accepts.empty() && s.success.fields[0] == SuccessLine::NONE;
}

// A broadcast is carried out by every module and answered by none: the packet
// and the call's data go out and the command is over. A command that needs an
// answer is refused before anything is sent.
int broadcast(const Sequence& s, const Request& r) {
    if (!needs_no_answer(s)) {
        trace(TRACE_ERROR, "%s needs the module's answer: no module answers a broadcast\n",
              keyword_name(KW_COMMAND, s.command));
        return RES_NOT_SUPPORTED;
    }
    if (int rc = send_broadcast_command(s.command, r.param1, r.param2, r.flag); rc < 0) return rc;
    return send_payload(s, r);
}

} // namespace

int run(const Sequence& s, const Request& r) {
    if (s.imageRecord && r.size > IMAGE_RECORD_SIZE) {
        trace(TRACE_ERROR, "Image size %#x is beyond the image record\n", r.size);
        return RES_NOT_SUPPORTED;
    }
    if (int rc = payload_check(s, r); rc < 0) return rc;
    if (link_state().broadcast) return broadcast(s, r);
    if (int rc = send_command(s.command, r.param1, r.param2, r.flag); rc < 0) return rc;
    if (!s.admin.empty()) {
        const int rc = administrator_stage(s.admin, r.arg, r.arg2);
        if (rc == answers::FINISHED) return 0;
        if (rc != GO_ON) return rc;
    }
    AnswerPacket answer{};
    if (!s.before.empty()) {
        if (int rc = receive_answer(answer); rc < 0) return rc;
        if (const uint8_t flag = answers::flag_of(answer); flag != SUCCEED) {
            if (int rc = s.before.apply(flag, r.arg, r.arg2); rc != GO_ON) return rc;
        }
    }
    if (int rc = send_payload(s, r); rc < 0) {
        // Stopped by the observer, or a wait for an acknowledgement ended by the operator.
        if (s.transfer == Transfer::Chunks && (rc == ERR_STOPPED || serial_interrupted())) {
            cancel_stopped_chunks();
            if (rc == ERR_STOPPED) outcome::message("The transfer is stopped");
        }
        return rc;
    }
    if (int rc = scan_waits(s.waits, r.arg); rc != GO_ON) return rc;
    if (int rc = s.answerUnderAnyCode ? receive_answer_any(answer) : receive_answer(answer); rc < 0)
        return rc;
    if (const uint8_t flag = answers::flag_of(answer); flag != SUCCEED) {
        if (s.fieldsOnEveryFlag) hand_back(s.success, answer, r);
        for (const Accept& accept : s.accepts) {
            if (accept.flag == flag) {
                succeed(accept.success, answer, r);
                return accept.code;
            }
        }
        const int rc = s.answer.apply(flag, message_arg(s.argFromAnswer, answer, r), r.arg2);
        if (rc != answers::OWN_ANSWER_FOLLOWS) return rc;
        receive_answer(answer); // its arrival, or its time-out, ends the command
        return 0;
    }
    if (s.second && module_settings().enrollMode != packet::setting::ENROLL_ONE_SCAN)
        return second_scan(*s.second, s.argFromAnswer, r);
    return succeed(s.success, answer, r);
}

} // namespace sequence

} // namespace kelvor
