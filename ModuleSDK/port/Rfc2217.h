// The client's side of the Telnet COM-PORT-OPTION (RFC 2217): a serial port
// behind a network server, its line settings made and confirmed over the same
// Telnet connection that carries the data. No system calls: the bytes to send
// collect in outgoing(), the bytes received are given to received().
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "port/Telnet.h"

namespace kelvor::rfc2217 {

// The client's commands; the server answers each with the command + 100.
constexpr uint8_t SIGNATURE = 0, SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4,
                  SET_CONTROL = 5, NOTIFY_LINESTATE = 6, NOTIFY_MODEMSTATE = 7, FLOWCONTROL_SUSPEND = 8,
                  FLOWCONTROL_RESUME = 9, PURGE_DATA = 12;
constexpr uint8_t SERVER = 100;
constexpr uint8_t PARITY_NONE = 1, STOPSIZE_ONE = 1, CONTROL_NO_FLOW = 1, CONTROL_DTR_ON = 8, PURGE_BOTH = 3;
// The most data kept for the reader; the socket is read only once it is taken.
constexpr size_t DATA_MAX = 16384 * 2;

class Client final : telnet::Sink {
public:
    // `codec` is the build's Telnet codec unless another is given (tests).
    Client();
    explicit Client(std::unique_ptr<telnet::Codec> (*codec)(telnet::Sink&));
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Asks for the COM-PORT-OPTION, and for BINARY and SUPPRESS-GO-AHEAD both ways.
    void start();
    // Bytes from the server.
    void received(const uint8_t* bytes, size_t n);
    // Data to the far port.
    void send_data(const uint8_t* bytes, size_t n);
    // The bytes to send to the server, collected since they were last taken.
    std::vector<uint8_t>& outgoing() { return out_; }

    // The server took the option: it will hear our commands.
    bool accepted() const { return accepted_; }

    // Asks for DTR on (with `modemControl`), then for the line at `baud`, 8
    // data bits, no parity, one stop bit and no flow control. Answers to
    // earlier requests are forgotten.
    void request_line(uint32_t baud, bool modemControl);
    // Asks for both directions of the far port to be emptied; what arrives
    // before the answer is dropped then.
    void request_purge();
    // Every setting answered, each as asked.
    bool settings_confirmed() const;
    // The settings answered otherwise than asked ("7 data bits"), empty when none.
    std::string settings_refused() const;
    // The settings not answered yet ("baud rate, parity"), empty when none.
    std::string settings_missing() const;
    bool modem_control_answered() const { return dtr_ >= 0; }
    bool dtr_on() const { return dtr_ == CONTROL_DTR_ON; }
    bool purge_answered() const { return purged_; }

    // Data received, in order.
    size_t data_waiting() const { return data_.size() - dataBegin_; }
    size_t take(uint8_t* buffer, size_t n);
    // Drops the data received so far (the far port's buffers were emptied).
    void drop_data();

    // The server asked us to stop sending for a while (FLOWCONTROL-SUSPEND).
    bool suspended() const { return suspended_; }
    // The stream broke off in a way that cannot be read any further.
    bool broken() const { return broken_; }
    // The server's signature, when it sent one.
    const std::string& server_signature() const { return signature_; }

private:
    void telnet_event(telnet::Event event, uint8_t code, const uint8_t* bytes, size_t n) override;
    void data(const uint8_t* bytes, size_t n);
    void answer(const uint8_t* bytes, size_t n);
    void command(uint8_t code, const uint8_t* value, size_t n);

    std::unique_ptr<telnet::Codec> codec_;
    std::vector<uint8_t> out_;
    std::vector<uint8_t> data_;
    size_t dataBegin_ = 0;
    bool accepted_ = false;
    bool broken_ = false;
    bool suspended_ = false;
    // Our side and the server's side of BINARY: without it a CR travels as
    // CR NUL (the network virtual terminal's rule).
    bool binaryOut_ = false;
    bool binaryIn_ = false;
    bool crBefore_ = false;
    // What was asked, and what the server answered (-1: nothing yet).
    uint32_t askedBaud_ = 0;
    int64_t baud_ = -1;
    int dataSize_ = -1, parity_ = -1, stopSize_ = -1, flow_ = -1, dtr_ = -1;
    bool purged_ = false;
    std::string signature_;
};

} // namespace kelvor::rfc2217
