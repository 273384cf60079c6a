// SPDX-License-Identifier: MIT
// The update engine: configuration, state machine and manufacturer records.
#pragma once
#include <cstdint>
#include <cstdio>

#include "update/engine.h"

extern FILE *InputFile;
extern unsigned ApplID;
extern unsigned char buf[64];
extern unsigned char DectVersion[4];
extern int32_t RealDectVersion;

// Protocol states.
enum : unsigned {
  ST_IDLE = 0,
  ST_DO_UPDATE = 1,
  ST_START_REQ = 2,
  ST_DATA = 3,
  ST_ENDT_REQ = 4,
  ST_TERMINATE = 5,
  ST_GET_VERSION = 6,
  ST_VERSION_REQ = 7,
};

// Sets / reads the protocol state (the run sequence sets the first one).
void set_state(unsigned s);
unsigned get_state();

// 1 once the protocol reached its end: the end indication of an update, or
// the version indication of a version query; 0 otherwise.
int protocol_finished();

// Reads up to 1024 bytes from f (or from config.file when f is null) into a
// data-chunk record of at least 1032 bytes; returns the byte count.
unsigned get_next_data(FILE *f, unsigned char *record);
// Current message number, then increments it (16-bit, wraps).
uint16_t next_msgnumber();
