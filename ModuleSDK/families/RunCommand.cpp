// run_command: one request, any command, its outcome returned. The families'
// runners and plain commands in one table by code; a command of the rows that
// no family registers runs from its row; a code of no command goes out as a
// raw packet.
// Before a runner, the request's input is checked against the command's
// description (present, of its size, within its most); the outcome is
// recorded under a scope of its own.
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "families/Run.h"
#include "link/Blocks.h"
#include "trace/Outcome.h"
#include "trace/Progress.h"

namespace kelvor {

namespace run {

namespace {

// Built once, before the program starts (the families' rows are constants),
// and never written: any thread may run a command at any time.
const std::array<Registration, 256> REGISTERED = [] {
    std::array<Registration, 256> t{};
    const std::span<const Registration> families[] = {
        system_runs(),     image_runs(),
        enroll_runs(),     verify_runs(),
        identify_runs(),   database_runs(),
        admin_runs(),      firmware_runs(),
        event_log_runs(),  clock_runs(),
        ports_runs(),      wiegand_runs(),
        smart_card_runs(), enroll_by_wiegand_card_runs(),
    };
    for (const auto& family : families)
        for (const Registration& row : family)
            if (!t[row.code].run && !t[row.code].plain) t[row.code] = row;
    return t;
}();

// The input as the command's description wants it: there when it is needed,
// of its size when it has one, within its most.
int check_input(const packet::Command& c, const CommandRequest& r, Outcome& out) {
    const packet::Files& f = c.files;
    if (f.input == packet::FileRole::None) return 0;
    if (!r.input) {
        if (f.inputOptional) return 0;
        return refuse(out, HOST_CHECK_REQUESTED, "Err: %s needs its input\n", c.keyword);
    }
    const size_t n = r.input->size();
    if (f.inputBytes != 0 && n != f.inputBytes)
        return refuse(out, HOST_CHECK_REQUESTED, "Err: The input of %s is %#x bytes, not %#zx\n", c.keyword,
                      f.inputBytes, n);
    if (f.inputMost != 0 && n > f.inputMost)
        return refuse(out, HOST_CHECK_REQUESTED, "Err: The input of %#zx bytes is beyond %#x\n", n,
                      f.inputMost);
    return 0;
}

// The observer of the request's transfers for the time of the command.
class ObserverScope {
public:
    explicit ObserverScope(const CommandRequest& r) : set_(r.progress != nullptr) {
        if (!set_) return;
        transfer_observer_now(&observer_, &context_);
        transfer_observer(r.progress, r.progressContext);
    }
    ~ObserverScope() {
        if (set_) transfer_observer(observer_, context_);
    }
    ObserverScope(const ObserverScope&) = delete;
    ObserverScope& operator=(const ObserverScope&) = delete;

private:
    bool set_;
    TransferObserver observer_ = nullptr;
    void* context_ = nullptr;
};

} // namespace

const Registration& registration_of(uint8_t code) {
    return REGISTERED[code];
}

int raw(const CommandRequest& r, Outcome& out) {
    if (const int rc = send_command(r.code, r.param1, r.param2, r.flag); rc < 0)
        return host_line(out, HOST_CHECK_RAW_SEND, rc, "Err: Cannot send packet\n");
    if (r.input) {
        if (const int rc = send_data(r.input->data(), static_cast<uint32_t>(r.input->size())); rc < 0)
            return host_line(out, HOST_CHECK_RAW_DATA, rc, "Err: Cannot send raw data\n");
    }
    // Raw packet mode looks at the line: whatever valid packet comes is the answer.
    AnswerPacket answer{};
    if (const int rc = receive_answer_any(answer); rc < 0)
        return host_line(out, HOST_CHECK_RAW_ANSWER, rc, "Err: Cannot receive packet\n");
    trace(TRACE_CALL, "Receive Packet: %#x Param1: %#x Param2: %#x Error: %#x\n",
          answer_field(FIELD_COMMAND, answer), answer_field(FIELD_PARAM1, answer),
          answer_field(FIELD_PARAM2, answer), answer_field(FIELD_FLAG, answer));
    outcome::object_begin("answer");
    outcome::value("command", answer_field(FIELD_COMMAND, answer));
    outcome::value("param1", answer_field(FIELD_PARAM1, answer));
    outcome::value("param2", answer_field(FIELD_PARAM2, answer));
    outcome::value("flag", answer_field(FIELD_FLAG, answer));
    outcome::object_end();
    trace(TRACE_DATA, "Data: ");
    // Whatever else the module sends, 13 bytes at a time until it falls
    // silent or the limit is reached; the bytes are the output.
    constexpr size_t MOST = packet::limit::RAW_BYTES;
    constexpr size_t STEP = packet::COMMAND_LENGTH;
    std::vector<uint8_t>& drained = out.output;
    drained.clear();
    size_t n = 0;
    // However its bytes come, the drain is over within the read time-out and
    // the wire time of the limit: a line that trickles cannot hold it.
    serial_bound_reads(static_cast<uint64_t>(MOST) * (link_state().hexText == 1 ? 2 : 1));
    while (n + STEP <= MOST) {
        drained.resize(n + STEP);
        const int got = link_read(drained.data() + n, static_cast<int>(STEP), true);
        if (got > 0) n += static_cast<size_t>(got);
        if (got != static_cast<int>(STEP)) break;
    }
    serial_unbound_reads();
    drained.resize(n);
    out.outputTaken = true;
    size_t lineStart = 0;
    for (size_t i = 0; i < n; ++i) {
        if (drained[i] != packet::END_CODE) continue;
        trace_hex(TRACE_DATA, drained.data() + lineStart, i - lineStart);
        trace_more(TRACE_DATA, "\nData: ");
        lineStart = i + 1;
    }
    trace_hex(TRACE_DATA, drained.data() + lineStart, n - lineStart);
    trace_more(TRACE_DATA, "\n");
    if (outcome::recording()) {
        static constexpr char digits[] = "0123456789abcdef";
        std::string hex;
        hex.reserve(2 * n);
        for (const uint8_t byte : drained) {
            hex += digits[byte >> 4];
            hex += digits[byte & 0x0F];
        }
        outcome::text("data", hex);
    }
    // The module's own verdict on a command the library does not interpret.
    return answer_field(FIELD_FLAG, answer) == SUCCEED ? 0 : RES_UNKNOWN;
}

} // namespace run

void run_command(const CommandRequest& request, Outcome& out) {
    outcome_empty(out);
    const outcome::Scope scope(out, {request.values, request.keepText});
    const run::ObserverScope observer(request);
    uint8_t code = request.code;
    const packet::Command* described = nullptr;
    if (request.keyword) {
        described = packet::command_named(request.keyword);
        if (!described) {
            out.result =
                run::refuse(out, HOST_CHECK_REQUESTED, "Err: No command is named %s\n", request.keyword);
            return;
        }
        code = described->code;
    } else {
        described = packet::command_of(code);
    }
    if (request.moduleId && link_state().network == 1) link_state().moduleId = *request.moduleId;
    if (described) {
        if (const int rc = run::check_input(*described, request, out); rc != 0) {
            out.result = rc;
            return;
        }
    }
    CommandRequest r = request;
    r.code = code;
    const run::Registration& registered = run::REGISTERED[code];
    if (registered.run)
        out.result = registered.run(r, out);
    else if (registered.plain && described)
        out.result = run::plain(*registered.plain, run::read_of(*described, r));
    else if (described && described->family != packet::Family::Raw)
        out.result = run::from_row(*described, run::read_of(*described, r), run::input_of(r), out);
    else
        out.result = run::raw(r, out);
}

Outcome run_command(const CommandRequest& request) {
    Outcome out;
    run_command(request, out);
    return out;
}

} // namespace kelvor
