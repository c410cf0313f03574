// Built by scripts/perf.sh with the board's compiler only: the size of this
// symbol in the object file is sizeof(QX7540PM) on the board.
#include "qx7540pm.h"

extern "C" const char qx7540pm_object_size[sizeof(QX7540PM)] = {};
