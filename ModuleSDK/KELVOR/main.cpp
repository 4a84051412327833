#include "OrvantiCom.h"

using namespace kelvor;

int main(int argc, char** argv) { return OrvantiCom::main(argc, argv); }
