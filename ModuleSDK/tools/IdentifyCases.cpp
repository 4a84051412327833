// Cases of identification from files: the BMP image of II and IIX, the
// template of IT; directory mode runs them once a file.
#include "Cases.h"

using namespace kelvor;

namespace {

constexpr CommandCase CASES[] = {
    {packet::cmd::IT, template_input},
};

} // namespace

std::span<const CommandCase> identify_cases() {
    return CASES;
}
