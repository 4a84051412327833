#include "OrvantiCom.h"

using namespace kelvor;

int main(int argc, char** argv) {
    prepare_standard_streams();
    return OrvantiCom::main(argc, argv);
}
