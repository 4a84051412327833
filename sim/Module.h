// The simulated module: reads command packets from its line, hands each to the
// handler of its command code and answers in the line's current form. Handlers
// live in handlers/, one file per command family, and register themselves.
#pragma once

#include "Control.h"
#include "Finger.h"
#include "Line.h"
#include "State.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace sim {

// Flag byte values and command codes: the wire vocabulary both ends speak.
namespace flag = packet::flag;
namespace cmd = packet::cmd;

// System parameter numbers: the wire vocabulary's.
namespace param = packet::param;

// Largest data block the module takes: an image record.
inline constexpr size_t MAX_BLOCK = IMAGE_HEADER_SIZE + MAX_PIXELS;
// Pause within a packet or a data block after which the module gives up on it.
inline constexpr int GAP_MS = 1000;
// On a bus, the pause before a module's answer: the host's driver lets go of the line first.
inline constexpr int BUS_TURNAROUND_MS = 2;
// How long the module waits for the host's acknowledgement of a chunk.
inline constexpr int ACK_MS = 3000;
// Quiet time after a command from which the module sends packets of its own.
inline constexpr int UNSOLICITED_AFTER_MS = 300;
// How often an idle module looks at its sensor and control file.
inline constexpr int IDLE_POLL_MS = 200;
// Free-scan results travel as answers of the identify-by-scan command.
inline constexpr uint8_t IDENTIFY_BY_SCAN = cmd::IS;

// Sleeps in steps, so that a stop signal is not kept waiting.
void sleep_ms(uint32_t ms);

// The event log's records: 16 bytes each, at most LOG_CAPACITY of them.
inline constexpr size_t LOG_RECORD_SIZE = packet::record::LOG_RECORD_SIZE;
inline constexpr uint32_t LOG_CAPACITY = 1000;
// Where a logged event came from.
inline constexpr uint8_t LOG_SOURCE_HOST = packet::event::source_of("Host Port");
inline constexpr uint8_t LOG_SOURCE_WIEGAND = packet::event::source_of("Wiegand Input");
inline constexpr uint8_t LOG_SOURCE_IN0 = packet::event::source_of("IN0"); // IN1 and IN2 follow
inline constexpr uint8_t LOG_SOURCE_FREE_SCAN = packet::event::source_of("FreeScan");
inline constexpr uint8_t LOG_SOURCE_CARD = packet::event::source_of("SmartCard");
// Module event codes that the simulated module logs.
inline constexpr uint8_t EVENT_ENROLL_SUCCESS = packet::event::code_of("Enroll Success");
inline constexpr uint8_t EVENT_ENROLL_FAIL = packet::event::code_of("Enroll Fail");
inline constexpr uint8_t EVENT_VERIFY_SUCCESS = packet::event::code_of("Verify Success");
inline constexpr uint8_t EVENT_VERIFY_FAIL = packet::event::code_of("Verify Fail");
inline constexpr uint8_t EVENT_IDENTIFY_SUCCESS = packet::event::code_of("Identify Success");
inline constexpr uint8_t EVENT_IDENTIFY_FAIL = packet::event::code_of("Identify Fail");
inline constexpr uint8_t EVENT_DETECT_INPUT0 =
    packet::event::code_of("Detect Input0"); // Input1 and Input2 follow
inline constexpr uint8_t EVENT_DETECT_WIEGAND = packet::event::code_of("Detect Wiegand");
inline constexpr uint8_t EVENT_DETECT_CARD = packet::event::code_of("Detec Smart Card");
inline constexpr uint8_t EVENT_CARD_READ_ERROR = packet::event::code_of("Smart Card Read Error");
inline constexpr uint8_t EVENT_REJECTED_ID = packet::event::code_of("Rejected ID");
inline constexpr uint8_t EVENT_VERIFY_DURESS = packet::event::code_of("Verify Duress Finger");
inline constexpr uint8_t EVENT_IDENTIFY_DURESS = packet::event::code_of("Identify Duress Finger");
// Named blobs of the state that the event log and the clock keep.
inline constexpr const char* LOG_BLOB = "event log";
inline constexpr const char* CLOCK_BLOB = "clock offset";

struct Command {
    uint8_t code = 0;
    uint32_t param1 = 0;
    uint32_t param2 = 0;
    uint8_t flag = 0;
    bool broadcast = false; // network packet to module ID 0: carried out, never answered
};

struct Scan {
    enum Status { Ok, NoFinger, Poor } status = NoFinger;
    Image image;
    std::vector<uint8_t> tpl; // set when Ok
};

// A match of a probe template against the database.
struct Match {
    uint32_t user = 0;
    int score = 0;
    bool duress = false;
};

struct Options {
    std::string link;
    std::string state;
    bool pace = false;
    bool strictBaud = true;
    bool verbose = false;
    uint32_t capacity = 1000;
};

class Module;
using Handler = void (*)(Module&, const Command&);

// A module of a bus that died (a "die" fault): it loses power and falls
// silent for good, while the other modules of the line go on. Thrown out of
// the command it dies in, caught by the bus.
struct ModuleDied {};

// Handlers register their command codes with a file-level object of this type.
struct Register {
    Register(std::initializer_list<std::pair<uint8_t, Handler>> handlers);
};
Handler find_handler(uint8_t code);
// Whether a locked module refuses the command (handlers/Firmware.cpp).
bool refused_while_locked(uint8_t code);

// A two-step enrolment waiting for the host's ENROLL_CONTINUE.
struct PendingEnroll {
    uint32_t user = 0;
    uint8_t option = 0;
    std::vector<uint8_t> tpl;
};

class Module {
public:
    bool start(const Options& options, std::string& error);
    // Serves the line until SIGINT or SIGTERM.
    void serve();
    // Joins a simulated bus as the module of ID `id` on the bus's line; the
    // first module of the bus answers the controls without --module.
    bool join(const Options& options, Line& line, uint16_t id, bool first, std::string& error);
    // A command that came to this module (or to all of them, broadcast).
    void dispatch(const Command& c);
    // What an idle module does between commands: inputs, free scans and, once
    // the host has fallen silent after a command, packets of its own.
    void idle(bool hostFellSilent);
    uint16_t bus_id() const { return moduleId_; }

    // ---- for the handlers
    State& state() { return state_; }
    uint32_t param(uint8_t number) const { return state_.param(number).value_or(0); }
    bool scan_success_on() const { return param(param::SCAN_SUCCESS) != packet::setting::OFF; }

    // Sends an answer packet in the line's form, with the faults that apply.
    void answer(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
    // The SCAN_SUCCESS answer after a scan or a received image, when the module sends them.
    void scan_success(uint8_t command) {
        if (scan_success_on()) answer(command, 0, 0, flag::SCAN_SUCCESS);
    }
    // A data block from the host: n bytes and the end code. False on a short
    // block, a wrong end code or n above max (the bytes are then read and dropped).
    bool receive_block(std::vector<uint8_t>& out, size_t n, size_t max);
    bool send_block(std::span<const uint8_t> data);
    // Chunks from the host, each acknowledged; false when one is refused or
    // missing. At most `max` bytes in all (0: an image record).
    bool receive_chunks(uint8_t command, std::vector<uint8_t>& out, size_t total, size_t max = 0);
    // The finger template carried by the data of an image command: the image
    // record as one block (EI, VI, II) or in chunks after a first SUCCEED (EIX,
    // VIX, IIX). The image becomes the last image. Nothing when the data are
    // refused or show no usable finger; TRY_AGAIN has then been answered where
    // the transfer itself did not end the command.
    std::optional<std::vector<uint8_t>> receive_image_template(const Command& c, bool chunked);
    // The template carried by the data block of a template command (ET, VT, IT);
    // nothing, with TRY_AGAIN answered, when it is not one of the module's templates.
    std::optional<std::vector<uint8_t>> receive_template(const Command& c);
    // Chunks to the host, each waiting for its acknowledgement.
    bool send_chunks(uint8_t command, std::span<const uint8_t> data, uint32_t chunkLength);
    // The next packet addressed to this module, within timeoutMs.
    std::optional<Command> receive_command(int timeoutMs);

    // Takes the finger that is on the sensor; none: waits the Timeout Period.
    Scan scan();
    // A scan for a command that needs the finger's template (enroll, verify,
    // identify): TIMEOUT answered without a finger, SCAN_FAILED for a poor one,
    // otherwise the SCAN_SUCCESS answer where the module sends it and the template.
    std::optional<std::vector<uint8_t>> scan_template(uint8_t command);
    // Whether something lies on the sensor, without scanning it.
    bool finger_on_sensor();
    // The image of the last scan or of the last image received.
    const Image& last_image() const { return lastImage_; }
    void set_last_image(const Image& image) { lastImage_ = image; }
    // Best match among the templates of the given users (all when users is empty).
    std::optional<Match> best_match(std::span<const uint8_t> probe, const std::vector<uint32_t>& users) const;
    bool is_match(const Match& m) const { return m.score >= match_threshold(param(param::SECURITY_LEVEL)); }
    // The inputs that the operator set: a Wiegand value, a card's user ID.
    std::optional<uint32_t> wiegand_input();
    std::optional<uint32_t> card_input();
    // Switches the line to the current baud rate, hex-text and network settings.
    void apply_line_settings();
    // Waits the Timeout Period, listening to the line: a cancel (CA) ends the
    // wait, and the waiting command's next answer becomes CANCELLED, followed
    // by the cancel's own answer. Other packets meanwhile are answered busy.
    void wait_timeout_period();

    // ---- event log, clock and inputs
    // Appends a record to the event log, stamped with the module's clock.
    // `source`: where the event came from (LOG_SOURCE_*); `event`: the module
    // event code (0x17 enroll success, 0x27 verify success, 0x37 identify
    // success, ...); `user`: the user ID concerned, or 0. A full log drops its
    // oldest record.
    void record_event(uint8_t source, uint8_t event, uint32_t user);
    // The module's clock in seconds of a calendar without time zone (broken
    // down with gmtime): the host's clock plus the offset that TW set.
    int64_t clock_now() const;
    void set_clock(int64_t seconds);
    // Input ports raised from the control side and not yet cleared, bit N for IN<N>.
    uint8_t& input_latches() { return inputLatches_; }

    std::optional<PendingEnroll> pendingEnroll;

    // What the control side decided last: finger, inputs, faults.
    Control control();
    // The path through which the host reaches the module.
    const std::string& link_path() const { return options_.link; }

private:
    bool write_packet(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flag);
    // The answer packet in this module's form (network or not) into `b`; its length.
    size_t encode_answer(packet::Buffer& b, uint8_t command, uint32_t param1, uint32_t param2,
                         uint8_t flag) const;
    void note(const char* what, const Command& c);
    void send_unsolicited();
    void free_scan();
    void notice_inputs();
    void report_free_scan(std::span<const uint8_t> tpl);
    bool use_fault(const Fault& f);
    // A "die:N" fault that applies to the current command: true at its N-th
    // transfer (an answer, or a data block or chunk in either direction).
    bool dies_here();
    // Ends the process at once, as a module that loses power does; on a bus,
    // where the other modules go on, throws ModuleDied instead.
    [[noreturn]] void die() const;

    // On a bus, the time a module takes to turn the line around before it answers.
    void turnaround() const;

    Options options_;
    Line ownLine_;
    Line* line_ = &ownLine_;
    bool onBus_ = false;
    State state_;
    std::string controlPath_;
    Image lastImage_;
    uint64_t captures_ = 0;
    uint64_t placeSerial_ = ~0ull;
    size_t placeIndex_ = 0;
    uint64_t freeScanSerial_ = 0; // the placement that the last free scan saw
    uint64_t inputSerial_ = 0;    // the input raise that was last noticed
    uint8_t inputLatches_ = 0;
    bool network_ = false;
    uint16_t moduleId_ = 1;
    bool broadcast_ = false; // the command being carried out came as a broadcast
    bool cancelled_ = false; // a cancel arrived while the command waited
    // Answers each fault has spoiled so far, for faults limited by times=N.
    // Keyed by the control serial that added the fault, its kind, argument and command.
    std::map<std::tuple<uint64_t, int, std::string, int>, int> faultUses_;
    // The kind under which a die fault counts the transfers it lets pass.
    static constexpr int DIE_TRANSFERS = -1;
    int currentCommand_ = -1; // code of the command being carried out
};

} // namespace sim
