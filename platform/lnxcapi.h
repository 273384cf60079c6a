// SPDX-License-Identifier: MIT
// Thin access layer over libcapi20 and the header's version report.
#pragma once

// 1 when CAPI is installed; else prints why and returns 0.
int capi_is_installed();
// Manufacturer text of controller 0 into buf (64 bytes); libcapi20's result.
unsigned char *capi_get_manufacturer(unsigned char *buf);
// Version record of controller 0 into buf: four 32-bit words
// (CAPI major, minor, manufacturer major, minor); libcapi20's result.
unsigned char *capi_get_version(unsigned char *buf);
// Serial number of controller 0 into buf; libcapi20's result.
unsigned char *capi_get_serial_number(unsigned char *buf);
// Profile of controller into buf; the CAPI error code (0 = success).
unsigned capi_get_profile(unsigned controller, unsigned char *buf);
// Registers an application. msgbufsize is accepted and not passed on.
// Returns the application id, 0 when none; *error gets libcapi20's result.
unsigned capi_register(unsigned msgbufsize, unsigned maxcon, unsigned maxblocks,
                       unsigned maxlen, unsigned *error);
// Releases an application; the CAPI error code (0 = success).
unsigned capi_release(unsigned applid);
// Prints the "CAPI Version: ..." line from a version record; isxol selects
// the decoded form of the manufacturer version.
void print_version(int isxol, const unsigned char *version);
