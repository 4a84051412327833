// The JSON Schema of kelvor --json's objects, as kelvor --json-schema prints it
// and as it is installed beside the tool.
#pragma once

#include <string>

// The schema's text, indented, with its line end.
const std::string& result_schema();
