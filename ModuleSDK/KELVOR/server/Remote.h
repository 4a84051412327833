// kelvor --server SOCKET: the run's commands go to kelvord, which owns the
// line, instead of onto a port of the run's own. The run reads its files,
// parses its options and reports as a direct run does; the service runs each
// command and hands back the object of --json, the bytes of the output file
// and the trace of the bytes on its line.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class OrvantiCom;

namespace remote {

using Json = nlohmann::ordered_json;

// The run goes through the service on `socket`; `words` are its command
// line's (a module named with -m is addressed, network mode or not).
void use(const std::string& socket, const std::vector<std::string>& words);
// Whether the run goes through a service (from use() on).
bool used();
// Connects to the service; false when it cannot, with failure() telling why.
bool open();
// Whether the run is connected to the service.
bool active();
void close();
// The socket of the run.
const std::string& socket();
// Why the connection could not be made, as the line after the run's error line.
const std::string& failure();

// Runs com's command (its code, parameters, flag, -i file, -o file, batch
// line, directory file) through the service as the dispatcher would run it
// here: the trace on standard error, the module's text lines on standard
// output, the output file written, the object printed with --json. Returns
// the result code.
int forward(OrvantiCom& com);

// One request; its answer (events that come first are skipped). A service
// that cannot be reached, or goes, is an "error" object of the client's own
// with "link": true.
Json ask(Json request);
// Sends a request without waiting for its answer.
bool send(const Json& request, std::string& why);
// The next line from the service within `timeoutMs` (-1: as long as it takes).
bool next_line(std::string& line, int timeoutMs, std::string& why);

// Writes text as the service's trace: to standard error, as it stands.
void print_trace(const std::string& text);
// A module's text line on standard output, as a run prints those it reads.
void print_text_line(const std::string& text);

} // namespace remote
