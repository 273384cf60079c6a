#include "update/cordix.h"
