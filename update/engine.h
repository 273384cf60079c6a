// SPDX-License-Identifier: MIT
// What the message pump needs of the update engine: the configuration
// record and the state machine it feeds.
#pragma once
#include <cstdint>

#include <capiutils.h>

struct Config {
  int32_t help;         // options "?" and "hilfe"
  int32_t background;   // pump runs in the calling thread when set
  char *file;           // option "f": firmware path
  uint32_t controller;  // option "c": CAPI controller of every request
  int32_t get_version;  // option "g": version query instead of update
  uint32_t timeout;     // option "timeout": seconds a wait may last, 0 for ever
};

extern Config config;

// Handles one decoded message, or sends the opening request when msg is null.
// 0 handled or ignored; 1 too-short indication; 2 error confirmation;
// 3 firmware read error; otherwise the CAPI error of a failed MANUFACTURER_REQ.
int state_machine(_cmsg *msg);
