// The JSON writer of --json against arbitrary text: a module's text line, a
// string value (a card's or a keyword's name), an error line and a file name
// come from the input, separated by NUL bytes. Whatever their bytes, a
// command's object as the tool writes it from the outcome recorded must be one
// line that parses back, and text that was UTF-8 must come back exactly; other
// bytes are replaced, never passed on.
#include <cstdlib>
#include <string>
#include <string_view>

#include "Json.h"
#include "trace/Outcome.h"

using namespace kelvor;

namespace {

std::string_view take_part(std::string_view& rest) {
    const size_t end = rest.find('\0');
    std::string_view part = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return part;
}

bool is_utf8(std::string_view text) {
    try {
        (void)nlohmann::json(std::string(text)).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

void require(bool condition) {
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    const std::string_view text = take_part(rest);
    const std::string_view name = take_part(rest);
    const std::string_view line = take_part(rest);
    const std::string_view path = rest;

    Outcome recorded;
    {
        const outcome::Scope scope(recorded);
        outcome::module_text(text);
        outcome::text("text", name); // a text value of the command rows, beside the record's own
        outcome::item_begin("records");
        outcome::text("text", text);
        outcome::item_end();
        outcome::message(line);
    }

    // The command's object as --json writes it, with the path as the file of
    // directory mode and the line as the reason of an opening that failed.
    json_output::CommandContext context;
    context.code = 0x11;
    context.directoryFile = path;
    context.reason = line;
    const std::string written = json_output::command_object(recorded, RES_NOT_FOUND, context);
    require(written.find('\n') == std::string::npos);
    const nlohmann::json object = nlohmann::json::parse(written); // throws, and so fails, on bad JSON
    require(object["values"]["records"].size() == 1);
    if (is_utf8(name)) require(object["values"]["text"] == name);
    if (is_utf8(recorded.moduleText.at(0))) require(object["module_text"][0] == recorded.moduleText[0]);
    if (is_utf8(recorded.message)) require(object["message"] == recorded.message);
    // An empty file name or reason is not written at all.
    require(object.contains("file") == !path.empty() && object.contains("reason") == !line.empty());
    if (!path.empty() && is_utf8(path)) require(object["file"] == path);
    if (!line.empty() && is_utf8(line)) require(object["reason"] == line);
    return 0;
}
