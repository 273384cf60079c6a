// SPDX-License-Identifier: MIT
// Texts for CAPI 2.0 info values, command and subcommand codes.
#pragma once
#include <cstdint>

// Explanation of an info or reason value; "No additional information" if unlisted.
const char *Decode_Error(uint32_t info);
// Name of a command byte (low 8 bits count); "!! undefined !!" if unlisted.
const char *Decode_Command(uint32_t command);
// Short name of a subcommand byte (low 8 bits count); "!! undefined !!" if unlisted.
const char *Decode_Sub(uint32_t subcommand);
