// SPDX-License-Identifier: MIT
// The update engine: the firmware update and version protocol with the DECT
// module, spoken in manufacturer-specific CAPI messages.
#include "update/cordix.h"

#include <cstring>

#include "platform/capiwire.h"
#include "platform/lnxexec.h"

Config config;

FILE *InputFile;
unsigned ApplID;
unsigned char buf[64];
unsigned char DectVersion[4];
int32_t RealDectVersion;

namespace {

constexpr uint32_t kManuId = 0x214C4F58;  // "XOL!" read little-endian
constexpr uint32_t kFunction = 15;
constexpr unsigned kChunk = 1024;
// Request commands, and the indication codes that answer them.
constexpr unsigned kCmdStart = 1, kCmdData = 2, kCmdEnd = 3, kCmdVersion = 4;
constexpr unsigned kChunkHeader = 8;    // 0xFF, n + 5, command, 0xFF, n
constexpr unsigned kMinIndication = 3;  // code word and an inner struct
constexpr unsigned kVersionBytes = 3;   // b0, b1, b2
constexpr size_t kMaxStruct = 3 + 0xFFFF;

unsigned state;
bool finished;                            // end or version indication handled
unsigned char chunk_record[kChunkHeader + kChunk];  // reused for every data chunk

const char *const kStateNames[] = {nullptr,  "do_update", "start_req",   "data",
                                   "endt_req", "terminate", "get_version", "version_req"};

void print_state() {
  if (state <= ST_VERSION_REQ && kStateNames[state])
    printf("State(%s)\n", kStateNames[state]);
}

// A short request record: a 3-byte struct of a command word and an empty
// inner struct.
struct ShortRecord {
  unsigned char b[4];
};
constexpr ShortRecord short_record(unsigned command) {
  return {{3, static_cast<unsigned char>(command), 0, 0}};
}

// Length of the CAPI struct at p; p moves past the 1- or 3-byte prefix.
// A null p reads as an empty struct.
unsigned StructLen(const unsigned char *&p) {
  static const unsigned char empty[1] = {0};
  if (!p) {
    p = empty;
    return 0;
  }
  if (p[0] != kLongStruct) return *p++;
  unsigned n = get16(p + 1);
  p += 3;
  return n;
}

// StructLen for a struct that must lie wholly before end: -1 when it does
// not, and p stays.
long read_struct(const unsigned char *&p, const unsigned char *end) {
  if (p && struct_fits(p, size_t(end - p)) < 0) return -1;
  return StructLen(p);
}

// End of the received message a decoded record points into; a record not
// decoded from a message holds at most one struct.
const unsigned char *message_end(const _cmsg *msg) {
  if (msg->m) return msg->m + msg->l;
  return msg->ManuData ? msg->ManuData + kMaxStruct : nullptr;
}

// Sends one manufacturer request; on failure the protocol terminates.
int send_request(const unsigned char *record) {
  _cmsg req;
  unsigned e = MANUFACTURER_REQ(&req, ApplID & 0xFFFF, next_msgnumber(),
                                config.controller, kManuId, 0, kFunction,
                                const_cast<unsigned char *>(record));
  if (e != 0) {
    printf("MANUFACTURER_REQ returned error(0x%04x)\n", e);
    state = ST_TERMINATE;
    return static_cast<int>(e);
  }
  return 0;
}

// Opening request of an update or a version query.
int open_protocol(unsigned command, unsigned next) {
  static constexpr ShortRecord start = short_record(kCmdStart);
  static constexpr ShortRecord version = short_record(kCmdVersion);
  print_state();
  int r = send_request(command == kCmdStart ? start.b : version.b);
  if (r != 0) return r;
  state = next;
  printf("warte auf start ind\n");
  return 0;
}

// Data step: the next chunk, or the end-of-data request after the last one.
int data_step(unsigned code) {
  static constexpr ShortRecord end = short_record(kCmdEnd);
  print_state();
  if (code != kCmdData) return 0;
  unsigned n = get_next_data(InputFile, chunk_record);
  if (n > 0) return send_request(chunk_record);
  if (InputFile && ferror(InputFile)) {
    // A failed read is not the end of the image: do not end the update.
    printf("Lesefehler in Datei(%s)\n", config.file ? config.file : "");
    state = ST_TERMINATE;
    return 3;
  }
  if (InputFile) {
    fclose(InputFile);
    InputFile = nullptr;
  }
  int r = send_request(end.b);
  if (r != 0) return r;
  state = ST_ENDT_REQ;
  printf("warte auf end ind\n");
  return 0;
}

// Version indication: p points at the inner struct, end at the outer end.
int version_step(unsigned code, const unsigned char *p, const unsigned char *end) {
  print_state();
  if (code != kCmdVersion) return 0;
  if (read_struct(p, end) < long(kVersionBytes)) return 1;
  unsigned b0 = p[0], b1 = p[1], b2 = p[2];
  DectVersion[0] = b0;
  DectVersion[1] = b1;
  DectVersion[2] = b2;
  unsigned version = ((b0 & 0x0F) << 8) | b1;
  RealDectVersion = static_cast<int32_t>((version << 12) | (b2 << 4) | (b0 >> 4));
  printf("version ind empfangen(%02x.%02x.%02x)\n        Version(%u) Designcode(%u) "
         "Beta Status(%u)\n        RealDectVersion(%06x)\n",
         b0, b1, b2, version, b2, b0 >> 4, static_cast<unsigned>(RealDectVersion));
  state = ST_TERMINATE;
  finished = true;
  stop_exec();
  return 0;
}

int dispatch(unsigned code, const unsigned char *p, const unsigned char *end) {
  switch (state) {
    case ST_DO_UPDATE:
      return open_protocol(kCmdStart, ST_START_REQ);
    case ST_GET_VERSION:
      return open_protocol(kCmdVersion, ST_VERSION_REQ);
    case ST_START_REQ:
      print_state();
      if (code != kCmdStart) return 0;
      printf("start ind empfangen, data phase\n");
      state = ST_DATA;
      return data_step(kCmdData);  // the first chunk follows at once
    case ST_DATA:
      return data_step(code);
    case ST_ENDT_REQ:
      print_state();
      if (code == kCmdEnd) {
        printf("end ind empfangen, terminiere\n");
        state = ST_TERMINATE;
        finished = true;
        stop_exec();
      }
      return 0;
    case ST_TERMINATE:
      print_state();
      return 0;
    case ST_VERSION_REQ:
      return version_step(code, p, end);
    default:
      return 0;
  }
}

bool is_manufacturer_msg(const _cmsg *msg, unsigned sub) {
  return msg->Command == CAPI_MANUFACTURER && msg->Subcommand == sub;
}

// Handles a received message: error confirmations end the protocol, valid
// indications drive it, everything else is ignored.
int handle_message(_cmsg *msg) {
  if (is_manufacturer_msg(msg, CAPI_CONF) && msg->Function == kFunction && msg->Class != 0) {
    printf("MANUFACTURER_REQ(CORDIX) Fehler(%u)\n", static_cast<unsigned>(msg->Class));
    state = ST_TERMINATE;
    return 2;
  }
  if (!is_manufacturer_msg(msg, CAPI_IND) || msg->Class != 0 || msg->Function != kFunction)
    return 0;
  const unsigned char *p = msg->ManuData;
  long n = read_struct(p, message_end(msg));
  if (n < long(kMinIndication)) return 1;
  return dispatch(get16(p), p + 2, p + n);
}

}  // namespace

void set_state(unsigned s) {
  state = s;
  finished = false;
}

unsigned get_state() { return state; }

int protocol_finished() { return finished ? 1 : 0; }

int state_machine(_cmsg *msg) {
  printf("state_machine: cmsg(%p) state(%u)\n", static_cast<void *>(msg), state);
  if (msg) return handle_message(msg);
  if (state == ST_DO_UPDATE || state == ST_TERMINATE || state == ST_GET_VERSION)
    return dispatch(0, nullptr, nullptr);
  return 0;
}

unsigned get_next_data(FILE *f, unsigned char *record) {
  if (!f) {
    // Not reached by a run (the file stays open for the whole data phase);
    // the stream opened here becomes InputFile so the next read goes on.
    if (!config.file || !(f = fopen(config.file, "rb"))) return 0;
    InputFile = f;
  }
  unsigned n = static_cast<unsigned>(fread(record + kChunkHeader, 1, kChunk, f));
  printf("%u Byte aus Datei(%s) gelesen\n", n, config.file ? config.file : "");
  record[0] = kLongStruct;
  put16(record + 1, n + 5);  // command word, inner prefix, n bytes
  put16(record + 3, kCmdData);
  record[5] = kLongStruct;
  put16(record + 6, n);
  return n;
}

uint16_t next_msgnumber() {
  static uint16_t msgnumber = 1;
  return msgnumber++;
}
