#include "diag/c20msg.h"
