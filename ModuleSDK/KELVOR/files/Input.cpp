// The files of a command line: the -i input (regular files only) and the
// -o output; the steps themselves are the tools' (CommandFiles.h).
#include "OrvantiCom.h"

#include <cstdio>

#include "CommandFiles.h"
#include "Json.h"

using namespace kelvor;

bool OrvantiCom::write_output(const uint8_t* data, size_t n) {
    if (!outputFile) return true;
    if (!tools::write_file(outputFile.get(), outputPath, data, n)) return false;
    json_output::file_written(outputPath, data, n);
    return true;
}

void OrvantiCom::open_input(const std::string& path) {
    inputPath = path;
    inputFile.reset(open_input_file(path, inputError));
    inputSize = inputFile ? file_size(inputFile.get()) : 0;
    if (inputFile && static_cast<uint64_t>(inputSize) > UINT32_MAX) {
        // No size field of a packet can announce it: refused before a byte is read.
        inputFile.reset();
        inputError = FILE_TOO_LARGE;
    }
}

void OrvantiCom::explain_input() const {
    tools::explain_input(inputIsDirectory != 0, directory, inputPath, inputError);
}

bool OrvantiCom::output_creatable() {
    return tools::output_creatable(outputPath, outputFile != nullptr, outputError);
}
