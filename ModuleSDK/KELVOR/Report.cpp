#include "Report.h"

#include <algorithm>

#include "OrvantiCom.h"

using namespace kelvor;

int exit_class(int result) {
    // The front end's own refusals are not library codes; they refuse all the same.
    if (result == FRONT_REFUSED) return EXIT_REFUSED;
    return static_cast<int>(result_class(result));
}

void OrvantiCom::note_result(int result) {
    worstExit = std::max(worstExit, exit_class(result));
}
