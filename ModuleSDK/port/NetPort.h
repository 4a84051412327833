// A serial port behind a network server: what its latest opening found, for
// the port diagnosis and the trace. The port itself is a kind of port behind
// the serial_* calls (PortKind.h).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "port/PortName.h"
#include "port/Socket.h"

namespace kelvor::net {

struct Status {
    port_name::Kind kind = port_name::Kind::Local;
    std::string host;     // HOST as the name gives it
    std::string endpoint; // HOST:PORT as the name gives it
    std::string peer;     // the address connected to
    Fault fault;          // what failed; None while the port serves
    std::string detail;   // what the failure says more (the URL's fault, the settings answered)
};

// The latest opening of a network port, and a connection lost since.
const Status& status();

// What the latest opening tells at trace level 3, one line each (without its
// prefix): the address and the round trip, the settings the server confirmed
// and what it left unanswered. Traced as they happen (TRACE_COMM), and kept
// for a program that enables its trace only once the port is open.
const std::vector<std::string>& opening_notes();

// The round trip measured at the opening, in microseconds (0 on a local port).
long long round_trip_us();

// The sockets of the system, or for a test sockets of its own (nullptr: the system's).
using SocketMaker = std::unique_ptr<Socket> (*)();
void use_sockets(SocketMaker make);

// The bounds of an opening, in milliseconds.
constexpr int CONNECT_WAIT_MS = 5000;     // name lookup and connection
constexpr int NEGOTIATION_WAIT_MS = 3000; // the option taken, the line settings answered
constexpr int ANSWER_WAIT_MS = 500; // a modem-control request or the purge, once the settings are answered
constexpr int NETWORK_DELAY_MAX_MS = 2000; // the most the first byte's wait is widened

} // namespace kelvor::net
