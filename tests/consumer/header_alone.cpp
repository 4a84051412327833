// A program of its own that uses the library as an installed one: only
// <kelvor/ModuleSDK.h> on its include path, its own global names beside the
// library's, and no keyword_fill() before the first lookup.
#include <kelvor/ModuleSDK.h>

#include <cstdio>
#include <cstring>

// Names a user program may well have: the library keeps its own in its
// namespace, so these neither clash nor change what the calls below mean.
int TIMEOUT = 1;
int SUCCEED = 2;
int trace = 3;
int send_data = 4;
struct LinkState {
    int open;
};
int keyword_fill = 5;
int packet = 6; // the wire vocabulary is kelvor::packet, not a global name

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "header_alone: %s\n", what);
        ++failures;
    }
}

} // namespace

int main() {
    // The table fills itself on first use, the library's own names included.
    expect(std::strcmp(kelvor::keyword_name(kelvor::KW_COMMAND, 0x05), "ES") == 0, "keyword of 0x05");
    expect(kelvor::keyword_code(kelvor::KW_COMMAND, "SW") == 0x01, "code of SW");
    expect(std::strcmp(kelvor::keyword_name(kelvor::KW_ENROLL_OPTION, 0x71), "Unknown") != 0,
           "name of enroll option 0x71");
    const int filled = kelvor::keyword_count();
    kelvor::keyword_fill(); // the front end's explicit fill adds nothing now
    expect(kelvor::keyword_count() == filled, "a second fill added rows");
    expect(kelvor::SUCCEED == 0x61 && kelvor::TIMEOUT != 0, "flag values");
    expect(kelvor::RES_NOT_FOUND == -100, "result codes");
    LinkState mine{1};
    expect(mine.open == 1 && !kelvor::link_state().open, "link state");
    expect(TIMEOUT + SUCCEED + trace + send_data + keyword_fill == 15, "the program's own names");
    return failures == 0 ? 0 : 1;
}
