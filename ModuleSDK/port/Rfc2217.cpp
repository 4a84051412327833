// The client's side of the COM-PORT-OPTION over the build's Telnet codec.
#include "port/Rfc2217.h"

#include <algorithm>
#include <cstring>

namespace kelvor::rfc2217 {

namespace {

constexpr char OUR_SIGNATURE[] = "kelvor";

uint32_t get_be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

} // namespace

Client::Client() : Client(telnet::make_codec) {}

Client::Client(std::unique_ptr<telnet::Codec> (*codec)(telnet::Sink&)) : codec_(codec(*this)) {}

void Client::start() {
    codec_->negotiate(telnet::WILL, telnet::COM_PORT_OPTION);
    codec_->negotiate(telnet::WILL, telnet::BINARY);
    codec_->negotiate(telnet::DO, telnet::BINARY);
    codec_->negotiate(telnet::WILL, telnet::SGA);
    codec_->negotiate(telnet::DO, telnet::SGA);
}

void Client::received(const uint8_t* bytes, size_t n) {
    if (!broken_) codec_->receive(bytes, n);
}

void Client::send_data(const uint8_t* bytes, size_t n) {
    if (binaryOut_) {
        codec_->send(bytes, n);
        return;
    }
    // Without BINARY from our side a CR alone would be taken as a line end
    // and may lose the byte after it: CR goes as CR NUL.
    size_t run = 0;
    for (size_t i = 0; i < n; ++i) {
        if (bytes[i] != '\r') continue;
        codec_->send(bytes + run, i + 1 - run);
        const uint8_t nul = 0;
        codec_->send(&nul, 1);
        run = i + 1;
    }
    codec_->send(bytes + run, n - run);
}

void Client::request_line(uint32_t baud, bool modemControl) {
    askedBaud_ = baud;
    baud_ = -1;
    dataSize_ = parity_ = stopSize_ = flow_ = -1;
    if (modemControl) {
        dtr_ = -1;
        const uint8_t dtr[] = {SET_CONTROL, CONTROL_DTR_ON};
        codec_->subnegotiate(telnet::COM_PORT_OPTION, dtr, sizeof dtr);
    }
    const uint8_t rate[] = {SET_BAUDRATE, static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                            static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)};
    codec_->subnegotiate(telnet::COM_PORT_OPTION, rate, sizeof rate);
    const uint8_t settings[][2] = {{SET_DATASIZE, 8},
                                   {SET_PARITY, PARITY_NONE},
                                   {SET_STOPSIZE, STOPSIZE_ONE},
                                   {SET_CONTROL, CONTROL_NO_FLOW}};
    for (const auto& s : settings) codec_->subnegotiate(telnet::COM_PORT_OPTION, s, 2);
}

void Client::request_purge() {
    purged_ = false;
    const uint8_t purge[] = {PURGE_DATA, PURGE_BOTH};
    codec_->subnegotiate(telnet::COM_PORT_OPTION, purge, sizeof purge);
}

bool Client::settings_confirmed() const {
    return baud_ == askedBaud_ && dataSize_ == 8 && parity_ == PARITY_NONE && stopSize_ == STOPSIZE_ONE &&
           flow_ == CONTROL_NO_FLOW;
}

std::string Client::settings_refused() const {
    std::string text;
    auto add = [&text](const std::string& s) { text += (text.empty() ? "" : ", ") + s; };
    if (baud_ >= 0 && baud_ != askedBaud_) add(std::to_string(baud_) + " baud");
    if (dataSize_ >= 0 && dataSize_ != 8) add(std::to_string(dataSize_) + " data bits");
    if (parity_ >= 0 && parity_ != PARITY_NONE) add("parity setting " + std::to_string(parity_));
    if (stopSize_ >= 0 && stopSize_ != STOPSIZE_ONE) add("stop bit setting " + std::to_string(stopSize_));
    if (flow_ >= 0 && flow_ != CONTROL_NO_FLOW) add("flow control setting " + std::to_string(flow_));
    return text;
}

std::string Client::settings_missing() const {
    std::string text;
    auto add = [&text](const char* s) { text += (text.empty() ? "" : ", ") + std::string(s); };
    if (baud_ < 0) add("baud rate");
    if (dataSize_ < 0) add("data bits");
    if (parity_ < 0) add("parity");
    if (stopSize_ < 0) add("stop bits");
    if (flow_ < 0) add("flow control");
    return text;
}

size_t Client::take(uint8_t* buffer, size_t n) {
    const size_t count = std::min(n, data_waiting());
    if (count > 0) std::memcpy(buffer, data_.data() + dataBegin_, count);
    dataBegin_ += count;
    if (dataBegin_ == data_.size()) drop_data();
    return count;
}

void Client::drop_data() {
    data_.clear();
    dataBegin_ = 0;
}

void Client::telnet_event(telnet::Event event, uint8_t code, const uint8_t* bytes, size_t n) {
    switch (event) {
    case telnet::Event::Data: data(bytes, n); break;
    case telnet::Event::Send: out_.insert(out_.end(), bytes, bytes + n); break;
    case telnet::Event::Do:
        if (code == telnet::COM_PORT_OPTION) accepted_ = true;
        if (code == telnet::BINARY) binaryOut_ = true;
        break;
    case telnet::Event::Dont:
        if (code == telnet::COM_PORT_OPTION) accepted_ = false;
        if (code == telnet::BINARY) binaryOut_ = false;
        break;
    case telnet::Event::Will:
        if (code == telnet::BINARY) binaryIn_ = true;
        break;
    case telnet::Event::Wont:
        if (code == telnet::BINARY) binaryIn_ = false;
        break;
    case telnet::Event::Subnegotiation:
        if (code == telnet::COM_PORT_OPTION) answer(bytes, n);
        break;
    case telnet::Event::Error: broken_ = true; break;
    case telnet::Event::Command:
    case telnet::Event::Warning: break;
    }
}

void Client::data(const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = bytes[i];
        // Without BINARY from the server, CR NUL stands for a CR alone.
        const bool padding = !binaryIn_ && crBefore_ && byte == 0;
        crBefore_ = byte == '\r';
        if (padding) continue;
        // Beyond what any reader leaves unread: the oldest data is the
        // tail of something nobody waits for any more.
        if (data_.size() - dataBegin_ >= DATA_MAX) continue;
        data_.push_back(byte);
    }
}

void Client::answer(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    const uint8_t code = bytes[0];
    if (code < SERVER) return; // a client's command: not for a client
    command(static_cast<uint8_t>(code - SERVER), bytes + 1, n - 1);
}

void Client::command(uint8_t code, const uint8_t* value, size_t n) {
    switch (code) {
    case SIGNATURE:
        if (n == 0) {
            // The server asks for ours.
            uint8_t reply[sizeof OUR_SIGNATURE] = {SIGNATURE};
            std::memcpy(reply + 1, OUR_SIGNATURE, sizeof OUR_SIGNATURE - 1);
            codec_->subnegotiate(telnet::COM_PORT_OPTION, reply, sizeof reply);
        } else {
            signature_.assign(reinterpret_cast<const char*>(value), std::min<size_t>(n, 64));
        }
        break;
    case SET_BAUDRATE:
        if (n == 4) baud_ = get_be32(value);
        break;
    case SET_DATASIZE:
        if (n == 1) dataSize_ = value[0];
        break;
    case SET_PARITY:
        if (n == 1) parity_ = value[0];
        break;
    case SET_STOPSIZE:
        if (n == 1) stopSize_ = value[0];
        break;
    case SET_CONTROL:
        if (n != 1) break;
        // One command sets both the flow control and the modem lines; the
        // value answered tells which one it answers.
        if (value[0] >= 1 && value[0] <= 3) flow_ = value[0];
        if (value[0] == 8 || value[0] == 9) dtr_ = value[0];
        break;
    case PURGE_DATA:
        if (n == 1 && value[0] == PURGE_BOTH) {
            // What came before the purge's answer was in the far port before the purge.
            purged_ = true;
            drop_data();
        }
        break;
    case FLOWCONTROL_SUSPEND: suspended_ = true; break;
    case FLOWCONTROL_RESUME: suspended_ = false; break;
    default: break; // line and modem state notices
    }
}

} // namespace kelvor::rfc2217
