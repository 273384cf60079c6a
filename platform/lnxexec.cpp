#include "platform/lnxexec.h"
