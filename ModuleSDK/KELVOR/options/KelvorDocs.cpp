// kelvor-docs, the build's generator of the texts made from the option table
// (not installed):
//   kelvor-docs manual-options            the manual page's OPTIONS on standard output
//   kelvor-docs completion TEMPLATE OUT   the bash completion, TEMPLATE filled in
#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "OptionDocs.h"

namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Written beside OUT and renamed over it, so that a failed run leaves no half file.
void write_file(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) throw std::runtime_error("cannot write " + temporary);
    }
    std::remove(path.c_str());
    if (std::rename(temporary.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot rename to " + path);
}

} // namespace

int main(int argc, char** argv) {
    try {
        const std::string what = argc > 1 ? argv[1] : "";
        if (what == "manual-options" && argc == 2) {
            std::cout << options::manual_options() << std::flush;
            return std::cout ? 0 : 1;
        }
        if (what == "completion" && argc == 4) {
            write_file(argv[3], options::fill_completion(read_file(argv[2])));
            return 0;
        }
        std::cerr << "usage: kelvor-docs manual-options | completion TEMPLATE OUT\n";
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "kelvor-docs: " << e.what() << "\n";
        return 1;
    }
}
