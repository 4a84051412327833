// Debian's libtelnet behind the codec interface. libtelnet negotiates by
// RFC 1143 from its table of options; the parsed forms of options we never
// take (terminal type, environment, ZMP, MSSP) are passed over. A server that
// starts compressed Telnet (MCCP2) uninvited is no serial port server: the
// stream cannot be read any further, which is an error.
#include <cstddef> // libtelnet.h needs size_t first
#include <libtelnet.h>

#include "port/Telnet.h"

namespace kelvor::telnet {

namespace {

const telnet_telopt_t OPTIONS[] = {
    {BINARY, TELNET_WILL, TELNET_DO},
    {SGA, TELNET_WILL, TELNET_DO},
    {COM_PORT_OPTION, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
};

const uint8_t* bytes_of(const char* p) {
    return reinterpret_cast<const uint8_t*>(p);
}
const char* chars_of(const uint8_t* p) {
    return reinterpret_cast<const char*>(p);
}

class LibTelnet final : public Codec {
public:
    explicit LibTelnet(Sink& sink) : sink_(sink), telnet_(telnet_init(OPTIONS, handle, 0, this)) {}
    ~LibTelnet() override {
        if (telnet_) telnet_free(telnet_);
    }
    LibTelnet(const LibTelnet&) = delete;
    LibTelnet& operator=(const LibTelnet&) = delete;

    void receive(const uint8_t* bytes, size_t n) override {
        if (broken_ || !telnet_) return;
        telnet_recv(telnet_, chars_of(bytes), n);
    }
    void send(const uint8_t* bytes, size_t n) override {
        if (telnet_ && n > 0) telnet_send(telnet_, chars_of(bytes), n);
    }
    void negotiate(uint8_t command, uint8_t option) override {
        if (telnet_) telnet_negotiate(telnet_, command, option);
    }
    void subnegotiate(uint8_t option, const uint8_t* bytes, size_t n) override {
        if (telnet_) telnet_subnegotiation(telnet_, option, chars_of(bytes), n);
    }

private:
    static void handle(telnet_t*, telnet_event_t* ev, void* context) {
        static_cast<LibTelnet*>(context)->on(*ev);
    }

    void on(const telnet_event_t& ev) {
        if (broken_) return;
        switch (ev.type) {
        case TELNET_EV_DATA: emit(Event::Data, 0, bytes_of(ev.data.buffer), ev.data.size); break;
        case TELNET_EV_SEND: emit(Event::Send, 0, bytes_of(ev.data.buffer), ev.data.size); break;
        case TELNET_EV_IAC: emit(Event::Command, ev.iac.cmd, nullptr, 0); break;
        case TELNET_EV_WILL: emit(Event::Will, ev.neg.telopt, nullptr, 0); break;
        case TELNET_EV_WONT: emit(Event::Wont, ev.neg.telopt, nullptr, 0); break;
        case TELNET_EV_DO: emit(Event::Do, ev.neg.telopt, nullptr, 0); break;
        case TELNET_EV_DONT: emit(Event::Dont, ev.neg.telopt, nullptr, 0); break;
        case TELNET_EV_SUBNEGOTIATION:
            emit(Event::Subnegotiation, ev.sub.telopt, bytes_of(ev.sub.buffer), ev.sub.size);
            break;
        case TELNET_EV_COMPRESS:
            if (ev.compress.state != 0) fail();
            break;
        case TELNET_EV_WARNING: emit(Event::Warning, 0, nullptr, 0); break;
        case TELNET_EV_ERROR: fail(); break;
        default: break; // the parsed forms of options we do not take
        }
    }

    void emit(Event e, uint8_t code, const uint8_t* bytes, size_t n) {
        sink_.telnet_event(e, code, bytes, n);
    }
    void fail() {
        broken_ = true;
        sink_.telnet_event(Event::Error, 0, nullptr, 0);
    }

    Sink& sink_;
    telnet_t* telnet_;
    bool broken_ = false;
};

} // namespace

std::unique_ptr<Codec> libtelnet_codec(Sink& sink) {
    return std::make_unique<LibTelnet>(sink);
}

std::unique_ptr<Codec> make_codec(Sink& sink) {
    return libtelnet_codec(sink);
}

} // namespace kelvor::telnet
