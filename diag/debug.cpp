#include "diag/debug.h"
