#include "platform/lnxtime.h"
