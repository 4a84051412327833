#include "OrvantiCom.h"

int main(int argc, char** argv) { return OrvantiCom::main(argc, argv); }
