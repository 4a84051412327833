// Answers on the line and the faults that spoil them: noise, checksums,
// truncation, silence, text lines, slow answers, unsolicited packets, death
// in mid-transfer.
#include "Module.h"

#include "protocol/Packet.h"

// The wire vocabulary, as the simulator names it.
namespace packet = kelvor::packet;

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

uint32_t arg_or(const Fault& f, uint32_t fallback) {
    return f.hasNumber ? static_cast<uint32_t>(f.number) : fallback;
}

} // namespace

void Module::send_unsolicited() {
    const Control ctl = control();
    uint32_t count = 0;
    for (const Fault& f : ctl.faults)
        if (f.kind == FaultKind::Unsolicited && use_fault(f)) count += arg_or(f, 1);
    // Results of free scans of the finger on the sensor, as a module in free-scan mode reports them.
    for (uint32_t k = 0; k < std::min<uint32_t>(count, 64); ++k) {
        Placement p;
        std::string error;
        std::optional<std::vector<uint8_t>> tpl;
        if (parse_place(ctl.place, p, error) && p.kind == Placement::Fingers)
            tpl = extract_template(capture_finger(p.fingers.back(), captures_++));
        if (tpl)
            report_free_scan(*tpl);
        else
            write_packet(IDENTIFY_BY_SCAN, 0, 0, flag::NOT_FOUND);
    }
}

size_t Module::encode_answer(packet::Buffer& b, uint8_t command, uint32_t param1, uint32_t param2,
                             uint8_t flagByte) const {
    return packet::encode(b, network_, {command, moduleId_, param1, param2, flagByte});
}

bool Module::write_packet(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flagByte) {
    turnaround();
    packet::Buffer b;
    return line_->write(b.data(), encode_answer(b, command, param1, param2, flagByte));
}

void Module::answer(uint8_t command, uint32_t param1, uint32_t param2, uint8_t flagByte) {
    if (broadcast_) return;
    if (options_.verbose) std::fprintf(stderr, "-> %02x %08x %08x %02x\n", command, param1, param2, flagByte);
    const Control ctl = control();
    bool silent = false, badSum = false;
    size_t cut = 0;
    for (size_t i = 0; i < ctl.faults.size(); ++i) {
        const Fault& f = ctl.faults[i];
        if (f.kind == FaultKind::ChunkChecksum || f.kind == FaultKind::Unsolicited ||
            f.kind == FaultKind::Die)
            continue;
        if (f.command >= 0 && f.command != command) continue;
        if (!use_fault(f)) continue;
        switch (f.kind) {
        case FaultKind::Slow: sleep_ms(arg_or(f, 500)); break;
        case FaultKind::Text: {
            const std::string text = "[" + (f.arg.empty() ? std::string("orvanti-sim") : f.arg) + "]\r";
            line_->write_raw(reinterpret_cast<const uint8_t*>(text.data()), text.size());
            break;
        }
        case FaultKind::Noise: {
            std::vector<uint8_t> noise(std::min<uint32_t>(arg_or(f, 2), 4096));
            for (size_t k = 0; k < noise.size(); ++k) noise[k] = k % 2 ? 0xFF : 0x00;
            line_->write(noise.data(), noise.size());
            break;
        }
        case FaultKind::Silence: silent = true; break;
        case FaultKind::Checksum: badSum = true; break;
        case FaultKind::Truncate: cut = std::max<size_t>(1, arg_or(f, 6)); break;
        case FaultKind::Unsolicited:
        case FaultKind::ChunkChecksum:
        case FaultKind::Die: break;
        }
    }
    if (cancelled_ && command != cmd::CA) {
        // The command's answer after a cancelled wait tells the cancel; then the cancel is answered.
        cancelled_ = false;
        write_packet(command, 0, 0, flag::CANCELLED);
        write_packet(cmd::CA, 0, 0, flag::SUCCEED);
        return;
    }
    if (!silent && dies_here()) {
        // Half the answer, then nothing more.
        packet::Buffer b;
        line_->write(b.data(), encode_answer(b, command, 0, 0, flagByte) / 2);
        die();
    }
    if (!silent) {
        turnaround();
        packet::Buffer b;
        size_t n = encode_answer(b, command, param1, param2, flagByte);
        if (badSum) ++b[n - 2];
        if (cut > 0) n = std::min(n, cut);
        line_->write(b.data(), n);
    }
}

bool Module::dies_here() {
    const Control ctl = control();
    for (const Fault& f : ctl.faults) {
        if (f.kind != FaultKind::Die || (f.command >= 0 && f.command != currentCommand_)) continue;
        // The transfers are counted like the uses of any other fault.
        int& uses = faultUses_[{f.added, DIE_TRANSFERS, std::string(), -1}];
        if (++uses == static_cast<int>(arg_or(f, 1))) return true;
    }
    return false;
}

void Module::die() const {
    std::fflush(nullptr);
    if (onBus_) throw ModuleDied{};
    std::_Exit(137);
}

bool Module::use_fault(const Fault& f) {
    // A fault is known by the control serial that added it and by what it does.
    int& uses = faultUses_[{f.added, static_cast<int>(f.kind), f.arg, f.command}];
    if (f.times >= 0 && uses >= f.times) return false;
    ++uses;
    return true;
}

} // namespace sim
