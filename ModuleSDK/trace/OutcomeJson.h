// The record of the last command as JSON, for the writers of results.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace kelvor {

namespace outcome {

struct Record {
    nlohmann::ordered_json values = nlohmann::ordered_json::object();
    std::string message;
    bool hasMessage = false;
    std::vector<std::string> moduleText;
};

const Record& record();

} // namespace outcome

} // namespace kelvor
