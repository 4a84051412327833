// The Telnet codec of our own: what a client of a serial port server needs,
// for the builds that have no libtelnet. Its options follow RFC 1143 (the
// "Q method"): each side of each option is NO, YES, WANTNO or WANTYES, the
// last two with a request of the opposite queued, so that two peers that ask
// at once never loop.
#include <array>
#include <vector>

#include "port/Telnet.h"

namespace kelvor::telnet {

namespace {

enum class Q : uint8_t { No, Yes, WantNo, WantNoOpposite, WantYes, WantYesOpposite };

// The options we take: ours to enable (WILL), the peer's to enable (DO).
bool we_will(uint8_t option) {
    return option == BINARY || option == SGA || option == COM_PORT_OPTION;
}
bool peer_may(uint8_t option) {
    return option == BINARY || option == SGA;
}

class OwnCodec final : public Codec {
public:
    explicit OwnCodec(Sink& sink) : sink_(sink) {}

    void receive(const uint8_t* bytes, size_t n) override {
        size_t run = 0; // start of the data not yet handed over
        for (size_t i = 0; i < n && !broken_; ++i) {
            const uint8_t byte = bytes[i];
            if (state_ == State::Data) {
                if (byte != IAC) continue;
                data(bytes + run, i - run);
                state_ = State::Iac;
                continue;
            }
            step(byte);
            run = i + 1;
        }
        if (state_ == State::Data && !broken_) data(bytes + run, n - run);
    }

    void send(const uint8_t* bytes, size_t n) override {
        size_t run = 0;
        for (size_t i = 0; i < n; ++i) {
            if (bytes[i] != IAC) continue;
            emit_send(bytes + run, i + 1 - run); // up to and with the IAC
            const uint8_t again = IAC;
            emit_send(&again, 1);
            run = i + 1;
        }
        emit_send(bytes + run, n - run);
    }

    void negotiate(uint8_t command, uint8_t option) override {
        Q& us = us_[option];
        Q& him = him_[option];
        switch (command) {
        case WILL: ask_on(us, WILL, option); break;
        case WONT: ask_off(us, WONT, option); break;
        case DO: ask_on(him, DO, option); break;
        case DONT: ask_off(him, DONT, option); break;
        default: break;
        }
    }

    void subnegotiate(uint8_t option, const uint8_t* bytes, size_t n) override {
        const uint8_t head[] = {IAC, SB, option};
        emit_send(head, sizeof head);
        send(bytes, n);
        const uint8_t tail[] = {IAC, SE};
        emit_send(tail, sizeof tail);
    }

private:
    enum class State { Data, Iac, Will, Wont, Do, Dont, Sb, SbData, SbDataIac };

    void data(const uint8_t* bytes, size_t n) {
        if (n > 0) sink_.telnet_event(Event::Data, 0, bytes, n);
    }
    void emit_send(const uint8_t* bytes, size_t n) {
        if (n > 0) sink_.telnet_event(Event::Send, 0, bytes, n);
    }
    void event(Event e, uint8_t code) { sink_.telnet_event(e, code, nullptr, 0); }
    void warning() { sink_.telnet_event(Event::Warning, 0, nullptr, 0); }
    void send_negotiation(uint8_t command, uint8_t option) {
        const uint8_t bytes[] = {IAC, command, option};
        emit_send(bytes, sizeof bytes);
    }

    // One byte after an IAC, of a negotiation or of a subnegotiation.
    void step(uint8_t byte) {
        switch (state_) {
        case State::Data: break;
        case State::Iac: after_iac(byte); break;
        case State::Will:
            peer_enables(byte);
            state_ = State::Data;
            break;
        case State::Wont:
            peer_disables(him_[byte], DONT, DO, Event::Wont, byte);
            state_ = State::Data;
            break;
        case State::Do:
            asked_to_enable(byte);
            state_ = State::Data;
            break;
        case State::Dont:
            peer_disables(us_[byte], WONT, WILL, Event::Dont, byte);
            state_ = State::Data;
            break;
        case State::Sb:
            sbOption_ = byte;
            sb_.clear();
            state_ = State::SbData;
            break;
        case State::SbData:
            if (byte == IAC) {
                state_ = State::SbDataIac;
            } else {
                keep_sb(byte);
            }
            break;
        case State::SbDataIac:
            if (byte == SE) {
                state_ = State::Data;
                subnegotiation();
            } else if (byte == IAC) {
                state_ = State::SbData;
                keep_sb(byte);
            } else {
                // IAC and anything but SE or IAC ends the subnegotiation as
                // it stands; the byte is the command of that IAC.
                warning();
                subnegotiation();
                if (!broken_) after_iac(byte);
            }
            break;
        }
    }

    void after_iac(uint8_t byte) {
        switch (byte) {
        case IAC:
            data(&byte, 1);
            state_ = State::Data;
            break;
        case WILL: state_ = State::Will; break;
        case WONT: state_ = State::Wont; break;
        case DO: state_ = State::Do; break;
        case DONT: state_ = State::Dont; break;
        case SB: state_ = State::Sb; break;
        default:
            event(Event::Command, byte);
            state_ = State::Data;
            break;
        }
    }

    // A subnegotiation received. One that starts compressed Telnet (MCCP2),
    // which we never asked for, leaves a stream we cannot read.
    void subnegotiation() {
        sink_.telnet_event(Event::Subnegotiation, sbOption_, sb_.data(), sb_.size());
        if (sbOption_ == COMPRESS2) {
            broken_ = true;
            sink_.telnet_event(Event::Error, 0, nullptr, 0);
        }
    }

    void keep_sb(uint8_t byte) {
        if (sb_.size() >= SUBNEGOTIATION_MAX) {
            // Longer than any subnegotiation we take: dropped, the stream goes on.
            warning();
            state_ = State::Data;
            return;
        }
        sb_.push_back(byte);
    }

    // We ask for an option to be on (WILL, DO) or off (WONT, DONT).
    void ask_on(Q& q, uint8_t command, uint8_t option) {
        switch (q) {
        case Q::No:
            q = Q::WantYes;
            send_negotiation(command, option);
            break;
        case Q::WantNo: q = Q::WantNoOpposite; break;
        case Q::WantYesOpposite: q = Q::WantYes; break;
        default: break;
        }
    }
    void ask_off(Q& q, uint8_t command, uint8_t option) {
        switch (q) {
        case Q::Yes:
            q = Q::WantNo;
            send_negotiation(command, option);
            break;
        case Q::WantYes: q = Q::WantYesOpposite; break;
        case Q::WantNoOpposite: q = Q::WantNo; break;
        default: break;
        }
    }

    // WILL: the peer offers (or confirms) its side of an option.
    void peer_enables(uint8_t option) {
        Q& q = him_[option];
        switch (q) {
        case Q::No:
            if (peer_may(option)) {
                q = Q::Yes;
                send_negotiation(DO, option);
                event(Event::Will, option);
            } else {
                send_negotiation(DONT, option);
            }
            break;
        case Q::Yes: break;
        case Q::WantNo:
            q = Q::No;
            event(Event::Wont, option);
            warning(); // our DONT was answered by WILL
            break;
        case Q::WantNoOpposite:
            q = Q::Yes;
            event(Event::Will, option);
            warning();
            break;
        case Q::WantYes:
            q = Q::Yes;
            event(Event::Will, option);
            break;
        case Q::WantYesOpposite:
            q = Q::WantNo;
            send_negotiation(DONT, option);
            event(Event::Will, option);
            break;
        }
    }

    // DO: the peer asks for (or confirms) our side of an option.
    void asked_to_enable(uint8_t option) {
        Q& q = us_[option];
        switch (q) {
        case Q::No:
            if (we_will(option)) {
                q = Q::Yes;
                send_negotiation(WILL, option);
                event(Event::Do, option);
            } else {
                send_negotiation(WONT, option);
            }
            break;
        case Q::Yes: break;
        case Q::WantNo:
            q = Q::No;
            event(Event::Dont, option);
            warning(); // our WONT was answered by DO
            break;
        case Q::WantNoOpposite:
            q = Q::Yes;
            event(Event::Do, option);
            warning();
            break;
        case Q::WantYes:
            q = Q::Yes;
            event(Event::Do, option);
            break;
        case Q::WantYesOpposite:
            q = Q::WantNo;
            send_negotiation(WONT, option);
            event(Event::Do, option);
            break;
        }
    }

    // WONT for the peer's side, DONT for ours: the option is (or goes) off.
    // `refuse` is what we answer an option that was on, `ask` what we send
    // when a request of ours to turn it on was queued.
    void peer_disables(Q& q, uint8_t refuse, uint8_t ask, Event off, uint8_t option) {
        switch (q) {
        case Q::No: break;
        case Q::Yes:
            q = Q::No;
            send_negotiation(refuse, option);
            event(off, option);
            break;
        case Q::WantNo:
            q = Q::No;
            event(off, option);
            break;
        case Q::WantNoOpposite:
            q = Q::WantYes;
            send_negotiation(ask, option);
            event(off, option);
            break;
        case Q::WantYes:
        case Q::WantYesOpposite: q = Q::No; break;
        }
    }

    Sink& sink_;
    State state_ = State::Data;
    std::array<Q, 256> us_{};
    std::array<Q, 256> him_{};
    uint8_t sbOption_ = 0;
    std::vector<uint8_t> sb_;
    bool broken_ = false;
};

} // namespace

std::unique_ptr<Codec> own_codec(Sink& sink) {
    return std::make_unique<OwnCodec>(sink);
}

#ifndef KELVOR_LIBTELNET
std::unique_ptr<Codec> make_codec(Sink& sink) {
    return own_codec(sink);
}
#endif

} // namespace kelvor::telnet
