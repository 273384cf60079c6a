-- SPDX-License-Identifier: MIT
-- SWUpdate loads this file from Lua's path at start-up; one line per handler.
require("cordix.dect_module")
