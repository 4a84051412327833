// The dispatcher: the command runs through its case with the command line's
// files (tools::run_with_files), or through kelvord when the run goes there.
#include "CommandFiles.h"
#include "Json.h"
#include "OrvantiCom.h"
#include "Remote.h"

using namespace kelvor;

int OrvantiCom::run_case() {
    tools::CommandCall call;
    call.command = command;
    call.param1 = param1;
    call.param2 = param2;
    call.flag = flag;
    call.chunkSize = chunkSize;
    call.input.file = inputFile.get();
    call.input.size = inputSize;
    call.input.path = inputPath;
    call.input.error = inputError;
    call.input.isDirectory = inputIsDirectory != 0;
    call.input.directory = directory;
    call.input.descriptor = inputFile ? fileno(inputFile.get()) : 0;
    call.output.file = outputFile.get();
    call.output.path = outputPath;
    call.output.error = outputError;
    // Values, the module's text lines and the files written are the objects' of --json.
    const bool json = json_output::on();
    call.recordFiles = json_output::command_open();
    const int result = tools::run_with_files(call, outcome, json, json);
    json_output::take(outcome);
    for (const json_output::FileWritten& f : call.written)
        json_output::file_written(f.path, f.bytes.data(), f.bytes.size());
    return result;
}

void OrvantiCom::dispatch() {
    if (!json_output::command_open()) json_output::command_begin();
    if (!output_creatable())
        lastResult = FRONT_REFUSED;
    else if (remote::active())
        lastResult = remote::forward(*this);
    else
        lastResult = run_case();
    note_result(lastResult);
    inputFile.reset();
    outputFile.reset();
    json_output::command_end(*this, lastResult);
}
