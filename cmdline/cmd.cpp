#include "cmdline/cmd.h"
