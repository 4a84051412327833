// Identifies the finger on a module's sensor and prints the user it belongs to.
//   identify PORT [BAUDRATE]
// Exit status 0 when the finger is known, 1 when it is not, 2 on a failure.
#include <kelvor/ModuleSDK.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT [BAUDRATE]\n", argv[0]);
        return 2;
    }
    const int rate = argc > 2 ? std::atoi(argv[2]) : 115200;

    // Errors of the library show on standard error with the names of the
    // module's answers.
    kelvor::trace_enable(kelvor::TRACE_ERROR);
    // Alone on the line (no network mode), module ID 1, 10 s to put a finger on.
    if (kelvor::module_open(argv[1], rate, 0, 0, 1, 10000) != 0) {
        std::fprintf(stderr, "%s: no module answers on %s\n", argv[0], argv[1]);
        return 2;
    }
    uint32_t user = 0;
    uint32_t score = 0;
    const int result = kelvor::identify_by_scan(0, 0, &user, &score); // every user ID
    kelvor::module_close();

    if (result == 0) {
        std::printf("user %u (score %u)\n", user, score);
        return 0;
    }
    if (result == kelvor::RES_NOT_FOUND) {
        std::printf("unknown finger\n");
        return 1;
    }
    std::fprintf(stderr, "%s: identification failed (%d)\n", argv[0], result);
    return 2;
}
