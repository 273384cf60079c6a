#include "platform/lnxcapi.h"
