// Port diagnosis and listing: why a port could not be used, and the serial
// ports present.
#pragma once

#include <cstdio>
#include <string>

#include "connection/LineSettings.h"

namespace kelvor {

// The line after "Err: Cannot initialize sdk": why the port could not be used,
// from the system's error of the serial layer and the opening's result code.
// Returns the reason as printed, without its indentation.
std::string print_port_diagnosis(const LineSettings& line, int openResult);

// What the opening of a port behind a network server found (the round trip,
// the settings the server confirmed, what it left unanswered), traced as
// communication lines (trace level 3) once the trace is on: the opening
// itself is never traced.
void trace_opening_notes(const std::string& port);

// Why the port named is gone in the middle of a run, for a port behind a
// network server ("rfc2217://...: the connection to ... is gone (closed by
// the far end)"); empty for a local port, whose loss says no more.
std::string port_loss_reason(const std::string& port);
// The same without the port's name in front ("the connection to ... is gone
// (closed by the far end)"), for a line event that names the port itself.
std::string network_loss_reason(const std::string& port);

// Serial ports present: one line each, as --list-ports prints them.
void print_serial_ports(std::FILE* out);

} // namespace kelvor
