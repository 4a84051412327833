// A value recorded under a name: compiles only when the name is one of the
// value sets of the command rows (VALUE_NAME, given by the build).
#include "trace/Outcome.h"

void record_a_value() {
    kelvor::outcome::value(VALUE_NAME, 1);
}
