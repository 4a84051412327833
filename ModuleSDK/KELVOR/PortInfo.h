// Port diagnosis and listing: why a port could not be used, and the serial
// ports present.
#pragma once

#include <cstdio>
#include <string>

class OrvantiCom;

// The line after "Err: Cannot initialize sdk": why the port could not be used,
// from the system's error of the serial layer and the opening's result code.
// Returns the reason as printed, without its indentation.
std::string print_port_diagnosis(const OrvantiCom& com, int openResult);

// Serial ports present: one line each, as --list-ports prints them.
void print_serial_ports(std::FILE* out);
