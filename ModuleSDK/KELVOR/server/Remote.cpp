#include "Remote.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "Base64.h"
#include "Json.h"
#include "OrvantiCom.h"
#include "ServerLink.h"
#include "link/TextLines.h"
#include "trace/Console.h"

using namespace kelvor;

namespace remote {

namespace {

// An answer is awaited this long at most: the commands queued before it and
// its own longest wait (a scan, a firmware image at 9600 baud) fit in it.
constexpr int ANSWER_WAIT_MS = 3600 * 1000;
// The largest input file sent: its base64 fits in the service's longest request.
constexpr int64_t INPUT_BYTES_MAX = 6 << 20;

struct State {
    bool used = false;
    bool active = false;
    bool moduleNamed = false;
    std::string socket;
    std::string failure;
    int64_t nextId = 1;
};

State& state() {
    static State instance;
    return instance;
}

Json link_error(const std::string& why) {
    Json o = Json::object();
    o["class"] = "error";
    o["link"] = true;
    o["message"] = why;
    return o;
}

} // namespace

// The module's text line as a direct run prints it: the line and its
// carriage return, control characters escaped on a terminal.
void print_text_line(const std::string& text) {
    std::string line = text + '\r';
    static const bool terminal = console::is_terminal(1);
    if (terminal) line = text_line_for_terminal(line);
    line += '\n';
    std::fflush(stdout);
    console::write_all(1, line.data(), line.size());
}

void use(const std::string& socket, const std::vector<std::string>& words) {
    State& s = state();
    s.used = true;
    s.socket = socket;
    s.moduleNamed = std::find(words.begin(), words.end(), "-m") != words.end();
}

bool used() {
    return state().used;
}

bool open() {
    State& s = state();
    std::string why;
    s.active = server_link::connect(s.socket, why);
    if (!s.active) s.failure = "The service kelvord does not answer on " + s.socket + ": " + why;
    return s.active;
}

bool active() {
    return state().active;
}

const std::string& failure() {
    return state().failure;
}

void close() {
    server_link::close();
}

const std::string& socket() {
    return state().socket;
}

bool send(const Json& request, std::string& why) {
    return server_link::send_line(request.dump(-1, ' ', false, Json::error_handler_t::replace), why);
}

bool next_line(std::string& line, int timeoutMs, std::string& why) {
    return server_link::read_line(line, timeoutMs, why);
}

Json ask(Json request) {
    const int64_t id = state().nextId++;
    request["id"] = id;
    std::string why;
    if (!send(request, why)) return link_error(why);
    for (;;) {
        std::string line;
        if (!next_line(line, ANSWER_WAIT_MS, why)) return link_error(why);
        Json answer = Json::parse(line, nullptr, false);
        if (!answer.is_object()) return link_error("the service sent no JSON object");
        if (const std::string cls = answer.value("class", ""); cls == "event" || cls == "progress") continue;
        if (answer.value("id", Json()) != Json(id)) return link_error("the service answered another request");
        return answer;
    }
}

void print_trace(const std::string& text) {
    trace_flush();
    console::write_all(2, text.data(), text.size());
}

int forward(OrvantiCom& com) {
    Json r = Json::object();
    r["class"] = "command";
    r["command"] = com.command;
    if (com.networkMode == 1 || state().moduleNamed ||
        std::find(com.words.begin(), com.words.end(), "-m") != com.words.end())
        r["module_id"] = com.moduleId;
    r["p1"] = com.param1;
    r["p2"] = com.param2;
    r["flag"] = com.flag;
    if (com.inputFile) {
        if (com.inputSize > INPUT_BYTES_MAX) {
            err_line(err_site::REMOTE_INPUT_TOO_LARGE,
                     "Err: %s holds %lld bytes, more than kelvord takes in one command (%lld)\n",
                     com.inputPath.c_str(), static_cast<long long>(com.inputSize),
                     static_cast<long long>(INPUT_BYTES_MAX));
            return FRONT_REFUSED;
        }
        // The whole file, as the case would read it from its start.
        std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(com.inputSize, 0)));
        bytes.resize(std::fread(bytes.data(), 1, bytes.size(), com.inputFile.get()));
        r["input"] = base64_encode(bytes.data(), bytes.size());
        r["input_file"] = com.inputPath;
    } else if (!com.inputPath.empty()) {
        r["input_file"] = com.inputPath;
        r["input_error"] = com.inputError != 0 ? com.inputError : ENOENT;
    }
    if (com.outputFile) r["output_file"] = com.outputPath;
    r["chunk_size"] = com.chunkSize < 0 ? 0 : com.chunkSize;
    r["trace"] = com.traceLevel >= 0 && com.traceLevel <= 4 ? com.traceLevel : 1;
    if (com.batchLine > 0) r["line"] = com.batchLine;
    if (com.batchLine > 0 && com.batchPart > 0) r["part"] = com.batchPart;
    if (!com.directoryFile.empty()) r["file"] = com.directoryFile;

    Json answer = ask(std::move(r));
    const std::string cls = answer.value("class", "");
    if (cls == "error") {
        const std::string message = answer.value("message", "");
        if (answer.value("link", false)) {
            err_line(err_site::REMOTE_SERVICE_GONE, "Err: The service kelvord on %s is gone: %s\n",
                     socket().c_str(), message.c_str());
            return ERR_READ;
        }
        err_line(err_site::REMOTE_COMMAND_REFUSED, "Err: kelvord refused the command: %s\n", message.c_str());
        return FRONT_REFUSED;
    }
    if (cls != "command") {
        err_line(err_site::REMOTE_NO_COMMAND_OBJECT,
                 "Err: The service kelvord on %s answered with no command object\n", socket().c_str());
        return ERR_READ;
    }
    print_trace(answer.value("trace", ""));
    if (!json_output::on()) {
        if (const auto text = answer.find("module_text"); text != answer.end() && text->is_array())
            for (const auto& line : *text)
                if (line.is_string()) print_text_line(line.get<std::string>());
    }
    std::vector<uint8_t> output;
    if (!base64_decode(answer.value("output", ""), output)) output.clear();
    if (com.outputFile && !output.empty()) com.write_output(output.data(), output.size());
    const int result = answer.value("result", FRONT_REFUSED);
    // The object is the service's: the client's own record of the command has none of it.
    json_output::command_drop();
    if (json_output::on()) {
        for (const char* name : {"class", "id", "output", "trace"}) answer.erase(name);
        json_output::print(answer);
    }
    return result;
}

} // namespace remote
