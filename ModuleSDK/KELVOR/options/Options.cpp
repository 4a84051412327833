// The short options of the command line, word by word, into the record of the run.
#include "OrvantiCom.h"

#include <algorithm>
#include <climits>

#include "LongOptions.h"
#include "OptionTable.h"

using namespace kelvor;

std::string OrvantiCom::next_value(size_t& i) {
    return words[++i];
}

void OrvantiCom::parse_options() {
    if (wordCount == 0) {
        err_line(err_site::OPTIONS_NO_ARGUMENT, "Err: No argument\n");
        return;
    }
    const size_t last = words.size() - 1;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w.empty() || w[0] != '-') continue;
        const options::Option* option = options::short_option(w.c_str());
        // A value option given last, without its value, is ignored.
        if (i == last && (option == nullptr || option->takes == options::Value::Next)) break;
        if (option == nullptr) continue;
        switch (option->id) {
        case options::Id::Broadcast: broadcast = 1; break;
        case options::Id::Monitor: monitor = 1; break;
        case options::Id::Trace:
            if (w.size() > 2 && w[2] >= options::FIRST_DIGIT && w[2] <= options::LAST_DIGIT) {
                traceLevel = w[2] - '0';
                settingsChanged = 1;
            }
            break;
        case options::Id::Param1: param1 = parse_number(next_value(i)); break;
        case options::Id::Param2: param2 = parse_number(next_value(i)); break;
        case options::Id::Batch: {
            std::string name = next_value(i);
            if (name.size() > NAME_MAX_CHARS) {
                err_line(err_site::OPTIONS_BATCH_NAME_TOO_LONG,
                         "Err: Batch file name is longer than %d characters\n",
                         static_cast<int>(NAME_MAX_CHARS));
                refused = true;
                break;
            }
            batchMode = 1;
            batchFile = name;
            break;
        }
        case options::Id::Port: {
            std::string name = next_value(i);
            if (name.size() > NAME_MAX_CHARS) {
                err_line(err_site::OPTIONS_PORT_NAME_TOO_LONG,
                         "Err: Port name is longer than %d characters\n", static_cast<int>(NAME_MAX_CHARS));
                refused = true;
                break;
            }
            portName = name;
            settingsChanged = 1;
            break;
        }
        case options::Id::HexText:
            hexText = static_cast<int>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case options::Id::Baud:
            baudCode = baud_code_of_rate(parse_number(next_value(i)));
            if (baudCode > 0) settingsChanged = 1;
            break;
        case options::Id::Command: command = parse_command(next_value(i)); break;
        case options::Id::Hook: hookLevel = static_cast<int>(parse_number(next_value(i))); break;
        case options::Id::Flag: flag = static_cast<uint8_t>(parse_number(next_value(i))); break;
        case options::Id::Input: {
            std::string path = next_value(i);
            if (path_is_directory(path)) {
                if (path.size() > DIRECTORY_MAX_CHARS) {
                    err_line(err_site::OPTIONS_DIRECTORY_TOO_LONG,
                             "Err: Directory path is longer than %d characters\n",
                             static_cast<int>(DIRECTORY_MAX_CHARS));
                    refused = true;
                    break;
                }
                inputIsDirectory = 1;
                directory = path;
            } else {
                open_input(path);
            }
            break;
        }
        case options::Id::ModuleId:
            moduleId = static_cast<uint16_t>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case options::Id::Network:
            networkMode = static_cast<int>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case options::Id::Output:
            outputPath = next_value(i);
            outputFile.reset(open_output_file(outputPath, outputError));
            break;
        case options::Id::ChunkSize:
            chunkSize = static_cast<int>(parse_number(next_value(i)));
            settingsChanged = 1;
            break;
        case options::Id::Timeout:
            // Beyond INT_MAX is out of range all the same; kept there rather than wrapped.
            readTimeout = static_cast<int>(std::min<uint32_t>(parse_number(next_value(i)), INT_MAX));
            settingsChanged = 1;
            break;
        default: break;
        }
    }
}
