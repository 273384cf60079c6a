// SPDX-License-Identifier: MIT
// The module's side of the protocol: control replies before registration,
// and for every MANUFACTURER_REQ a confirmation plus the indication the
// update/version protocol expects, with checks of every received record.
// One update state machine serves every application, as on a real module.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "sim/simcore.h"

unsigned sim_get16(const uint8_t *p) { return p[0] | unsigned(p[1]) << 8; }

namespace {

constexpr uint32_t kManuId = 0x214C4F58;  // "XOL!" read little-endian
constexpr unsigned kFunction = 15;
constexpr unsigned kMaxChunk = 1024;
constexpr unsigned kManufacturer = 0xff;  // command byte
// Offsets in a manufacturer message: header (length, ApplId, command,
// subcommand, number), controller, ManuID, Class, Function, ManuData.
constexpr size_t kApplIdAt = 2, kNumberAt = 6, kControllerAt = 8, kManuIdAt = 12, kClassAt = 16,
                 kFunctionAt = 20, kManuDataOffset = 24;
constexpr unsigned kConf = 0x81, kInd = 0x82;
constexpr unsigned kDecoyFunction = 14, kDecoyClass = 1;  // look-alike indications

enum : unsigned { REC_START = 1, REC_DATA = 2, REC_END = 3, REC_VERSION = 4 };

uint32_t get32(const uint8_t *p) { return sim_get16(p) | uint32_t(sim_get16(p + 2)) << 16; }

void put16(std::string *s, unsigned v) {
  s->push_back(char(v & 0xff));
  s->push_back(char((v >> 8) & 0xff));
}
void put32(std::string *s, uint32_t v) {
  put16(s, v & 0xffff);
  put16(s, v >> 16);
}

void violation(SimSession *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void violation(SimSession *s, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  s->violations.push_back(sim_vformat("request " + std::to_string(s->requests) + ": ", fmt, ap));
  va_end(ap);
}

void event(SimModule *m, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void event(SimModule *m, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  m->events.push_back(sim_vformat("", fmt, ap));
  va_end(ap);
}

// A MANUFACTURER_CONF or _IND: same parameters as the request.
std::string manu_message(unsigned appl, unsigned sub, unsigned number, uint32_t ctrl,
                         uint32_t cls, uint32_t function, const std::string &manu_data) {
  std::string m;
  put16(&m, unsigned(kManuDataOffset + manu_data.size()));
  put16(&m, appl);
  m.push_back(char(kManufacturer));
  m.push_back(char(sub));
  put16(&m, number);
  put32(&m, ctrl);
  put32(&m, kManuId);
  put32(&m, cls);
  put32(&m, function);
  return m + manu_data;
}

// Indication record: struct(code word, inner struct).
std::string ind_record(unsigned code, const std::string &inner) {
  std::string r;
  r.push_back(char(2 + inner.size()));
  put16(&r, code);
  return r + inner;
}

std::string version_inner(const uint8_t *b) {
  return std::string{char(3), char(b[0]), char(b[1]), char(b[2])};
}

// Reads a CAPI struct at p (avail bytes); reports layout faults.
// Returns the content length and sets *hdr and *long_form.
size_t read_struct(SimSession *s, const uint8_t *p, size_t avail, size_t *hdr,
                   bool *long_form, const char *what) {
  *long_form = avail >= 1 && p[0] == 0xff;
  *hdr = *long_form ? 3 : 1;
  if (avail < *hdr) {
    violation(s, "%s truncated in its length prefix", what);
    *hdr = avail;
    return 0;
  }
  size_t len = *long_form ? sim_get16(p + 1) : p[0];
  if (*hdr + len > avail) {
    violation(s, "%s claims %zu bytes, only %zu present", what, len, avail - *hdr);
    len = avail - *hdr;
  }
  return len;
}

void check_short_record(SimSession *s, unsigned cmd, const uint8_t *c, size_t len,
                        bool long_form) {
  if (long_form) violation(s, "record of command %u uses the long length form", cmd);
  if (len != 3) violation(s, "record of command %u has %zu bytes, expected 3", cmd, len);
  if (len >= 3 && c[2] != 0) violation(s, "record of command %u: inner struct not empty", cmd);
}

// Data chunk: 0xFF, n+5, 0x0002, 0xFF, n, n bytes. Sets *payload.
void check_data_record(SimSession *s, const uint8_t *c, size_t len, bool long_form,
                       std::string *payload) {
  if (!long_form) violation(s, "data chunk: outer struct in the short length form");
  size_t hdr;
  bool inner_long;
  size_t n = read_struct(s, c + 2, len - 2, &hdr, &inner_long, "data chunk inner struct");
  if (hdr == 0) return;
  if (!inner_long) violation(s, "data chunk: inner struct in the short length form");
  size_t claimed = inner_long && len - 2 >= 3 ? sim_get16(c + 3) : c[2];
  if (claimed == 0 || claimed > kMaxChunk)
    violation(s, "data chunk: n=%zu out of range 1..%u", claimed, kMaxChunk);
  if (len != 2 + hdr + claimed)
    violation(s, "data chunk: outer length %zu does not match n=%zu", len, claimed);
  payload->assign(reinterpret_cast<const char *>(c + 2 + hdr), n);
}

// Checks the ManuData record; returns its command word, or 0 if none.
unsigned check_record(SimSession *s, const uint8_t *p, size_t avail, std::string *payload) {
  if (avail == 0) {
    violation(s, "no ManuData");
    return 0;
  }
  size_t hdr;
  bool long_form;
  size_t len = read_struct(s, p, avail, &hdr, &long_form, "ManuData");
  if (hdr + len < avail) violation(s, "%zu bytes after ManuData", avail - hdr - len);
  if (len < 2) {
    violation(s, "record without command word");
    return 0;
  }
  const uint8_t *c = p + hdr;
  unsigned cmd = sim_get16(c);
  if (cmd == REC_DATA)
    check_data_record(s, c, len, long_form, payload);
  else if (cmd == REC_START || cmd == REC_END || cmd == REC_VERSION)
    check_short_record(s, cmd, c, len, long_form);
  else
    violation(s, "unknown record command %u", cmd);
  return cmd;
}

// Data or an end request from session s, which owns no update: the
// violation names what the module was doing. Always false: refused.
bool refuse_foreign(const SimModule &m, SimSession *s, const char *what) {
  if (m.owner)
    violation(s, "%s during the update of session %u, which this application did not start: refused",
              what, m.owner);
  else if (s->phase == PHASE_COMPLETE)
    violation(s, "%s after the end request: refused", what);
  else
    violation(s, "%s before the start request: refused", what);
  return false;
}

void complete_update(const SimOptions &opt, SimModule *m, SimSession *s) {
  s->phase = PHASE_COMPLETE;
  m->owner = 0;
  m->boot_loader = false;
  for (const SimImageVersion &iv : opt.version_of) {
    if (iv.image != m->image) continue;
    memcpy(m->version, iv.version, 3);
    break;
  }
  m->last_image.swap(m->image);
  m->image.clear();
  m->completed = true;
  const uint8_t *v = m->version;
  event(m, "update complete: %zu bytes, sha256 %s, module version %02x.%02x.%02x",
        m->last_image.size(), sim_sha256(m->last_image).c_str(), v[0], v[1], v[2]);
}

// Protocol order and counters for one request, and the module's update
// state machine. False: the module refuses the request.
bool step_module(const SimOptions &opt, SimModule *m, SimSession *s, unsigned cmd,
                 const std::string &payload) {
  bool mine = m->owner != 0 && m->owner == s->id;
  switch (cmd) {
    case REC_START:
      if (++s->start_requests > 1) violation(s, "repeated start request");
      if (m->owner && !mine) {
        violation(s, "start request during the update of session %u: refused", m->owner);
        return false;
      }
      if (!m->boot_loader) event(m, "update started, the module runs its boot loader");
      if (!mine) m->image.clear();
      m->owner = s->id;
      m->boot_loader = true;
      s->phase = PHASE_DATA;
      return true;
    case REC_DATA:
      s->data_chunks++;
      if (!mine) return refuse_foreign(*m, s, "data chunk");
      m->image += payload;
      s->firmware += payload;
      return true;
    case REC_END:
      s->end_requests++;
      if (!mine) return refuse_foreign(*m, s, "end request");
      complete_update(opt, m, s);
      return true;
    case REC_VERSION:
      s->version_requests++;
      if (mine) {
        violation(s, "version request during an update");
      } else if (m->owner) {
        const uint8_t *b = opt.boot_loader_version;
        event(m, "version request during the update of session %u: the boot loader answers %02x.%02x.%02x",
              m->owner, b[0], b[1], b[2]);
      }
      return true;
    default:
      return true;
  }
}

// Header fields of the request: number, ApplId, controller, ManuID, Class, Function.
void check_header(SimSession *s, const uint8_t *m) {
  unsigned appl = sim_get16(m + kApplIdAt), number = sim_get16(m + kNumberAt);
  uint32_t ctrl = get32(m + kControllerAt), manu_id = get32(m + kManuIdAt);
  uint32_t cls = get32(m + kClassAt), function = get32(m + kFunctionAt);
  if (number != (s->requests & 0xffff))
    violation(s, "message number %u, expected %u", number, s->requests & 0xffff);
  if (s->appl_id < 0) s->appl_id = appl;
  else if (long(appl) != s->appl_id) violation(s, "ApplId %u changed from %ld", appl, s->appl_id);
  if (s->controller < 0) s->controller = ctrl;
  else if (long(ctrl) != s->controller)
    violation(s, "controller %u changed from %ld", ctrl, s->controller);
  if (manu_id != kManuId) violation(s, "ManuID 0x%08x, expected 0x%08x", manu_id, kManuId);
  if (cls != 0) violation(s, "Class %u, expected 0", cls);
  if (function != kFunction) violation(s, "Function %u, expected %u", function, kFunction);
  if (s->ind_pending) violation(s, "arrived before the indication for the previous request");
}

// What a version query gets: the boot loader answers while an update is
// incomplete, the firmware otherwise.
const uint8_t *reported_version(const SimOptions &opt, const SimModule &m) {
  return m.boot_loader ? opt.boot_loader_version : m.version;
}

// The fault of this kind at request k, if any; taking it counts it.
const SimFault *take_fault(const SimOptions &opt, SimSession *s, unsigned k, int kind) {
  for (const SimFault &f : opt.faults) {
    if (f.at != k || f.kind != kind) continue;
    s->faults_injected++;
    return &f;
  }
  return nullptr;
}

// The indication record for request command cmd, shaped by the faults at k.
std::string real_record(const SimOptions &opt, const SimModule &m, SimSession *s, unsigned k,
                        unsigned cmd) {
  const uint8_t *b = reported_version(opt, m);
  std::string inner = cmd == REC_VERSION ? version_inner(b) : std::string(1, '\0');
  unsigned code = cmd;
  if (const SimFault *f = take_fault(opt, s, k, FAULT_BAD_CODE)) code = f->value;
  if (take_fault(opt, s, k, FAULT_VERSION_SHORT)) inner = std::string{char(2), char(b[0]), char(b[1])};
  if (take_fault(opt, s, k, FAULT_VERSION_OVERLONG))
    inner = std::string{char(7), char(b[0]), char(b[1]), char(b[2])};
  if (take_fault(opt, s, k, FAULT_SHORT_IND)) return ind_record(code, "");  // the code word alone
  return ind_record(code, inner);
}

// A look-alike indication the tool must ignore (other Function or Class).
void extra_indications(const SimOptions &opt, const SimModule &m, SimSession *s, unsigned k,
                       unsigned cmd, unsigned appl, uint32_t ctrl, std::vector<SimReply> *out) {
  const uint8_t *v = reported_version(opt, m);
  const uint8_t fake[3] = {uint8_t(~v[0]), uint8_t(~v[1]), uint8_t(~v[2])};
  std::string rec = ind_record(cmd, cmd == REC_VERSION ? version_inner(fake) : std::string(1, '\0'));
  if (take_fault(opt, s, k, FAULT_EXTRA_FUNCTION))
    out->push_back({manu_message(appl, kInd, ++s->ind_number, ctrl, 0, kDecoyFunction, rec), 0, false});
  if (take_fault(opt, s, k, FAULT_EXTRA_CLASS))
    out->push_back({manu_message(appl, kInd, ++s->ind_number, ctrl, kDecoyClass, kFunction, rec), 0, false});
}

// Confirmation and indications for request k with command cmd.
// A refused request gets a confirmation with kSimRefused alone.
void answer(const SimOptions &opt, const SimModule &mod, SimSession *s, const uint8_t *m,
            unsigned cmd, bool refused, std::vector<SimReply> *out) {
  unsigned k = s->requests, appl = sim_get16(m + kApplIdAt);
  uint32_t ctrl = get32(m + kControllerAt);
  const SimFault *conf_class = refused ? nullptr : take_fault(opt, s, k, FAULT_CONF_CLASS);
  unsigned cls = refused ? kSimRefused : conf_class ? conf_class->value : 0;
  out->push_back({manu_message(appl, kConf, sim_get16(m + kNumberAt), ctrl, cls, kFunction, std::string(1, '\0')),
                  0, false});
  if (refused || conf_class || take_fault(opt, s, k, FAULT_NO_IND)) return;
  if (cmd < REC_START || cmd > REC_VERSION) return;  // nothing a module would answer
  extra_indications(opt, mod, s, k, cmd, appl, ctrl, out);
  std::string rec = real_record(opt, mod, s, k, cmd);
  out->push_back({manu_message(appl, kInd, ++s->ind_number, ctrl, 0, kFunction, rec),
                  opt.delay_ms, true});
  s->ind_pending = true;
}

}  // namespace

SimAfter sim_handle_message(const SimOptions &opt, SimModule *m, SimSession *s, const uint8_t *msg,
                            size_t len, std::vector<SimReply> *out) {
  unsigned k = ++s->requests;
  if (len < kManuDataOffset) {
    violation(s, "MANUFACTURER_REQ of %zu bytes, too short for its parameters", len);
    return AFTER_KEEP;
  }
  check_header(s, msg);
  std::string payload;
  unsigned cmd = check_record(s, msg + kManuDataOffset, len - kManuDataOffset, &payload);
  bool taken = step_module(opt, m, s, cmd, payload);
  if (take_fault(opt, s, k, FAULT_RESET)) return AFTER_RESET;
  if (take_fault(opt, s, k, FAULT_CLOSE)) return AFTER_CLOSE;
  if (take_fault(opt, s, k, FAULT_SILENT)) s->silent = true;
  if (s->silent) return AFTER_KEEP;
  answer(opt, *m, s, msg, cmd, !taken, out);
  return take_fault(opt, s, k, FAULT_CLOSE_AFTER) ? AFTER_CLOSE : AFTER_KEEP;
}

SimModule sim_module_init(const SimOptions &opt) {
  SimModule m;
  memcpy(m.version, opt.version_bytes, 3);
  m.boot_loader = opt.boot_loader;
  return m;
}

bool sim_session_closed(SimModule *m, const SimSession &s) {
  if (m->owner == 0 || m->owner != s.id) return false;
  event(m, "update aborted after %zu bytes, the module stays in its boot loader", m->image.size());
  m->owner = 0;
  m->image.clear();
  return true;
}

std::string sim_state_text(const uint8_t *v, bool boot_loader) {
  char text[40];
  snprintf(text, sizeof text, "version %02x.%02x.%02x\nboot-loader %s\n", v[0], v[1], v[2],
           boot_loader ? "yes" : "no");
  return text;
}

// Read loosely, then held to the exact text it would be written as.
bool sim_state_parse(const std::string &text, SimOptions *opt) {
  unsigned v[3] = {};
  char word[4] = "";
  sscanf(text.c_str(), "version %2x.%2x.%2x boot-loader %3s", &v[0], &v[1], &v[2], word);
  SimOptions parsed;
  for (int i = 0; i < 3; i++) parsed.version_bytes[i] = uint8_t(v[i]);
  parsed.boot_loader = strcmp(word, "yes") == 0;
  if (sim_state_text(parsed.version_bytes, parsed.boot_loader) != text) return false;
  memcpy(opt->version_bytes, parsed.version_bytes, 3);
  opt->boot_loader = parsed.boot_loader;
  return true;
}

namespace {

// A skipped byte, then text in a NUL-terminated field of width bytes.
void append_text(std::string *r, const std::string &text, size_t width) {
  std::string field = text.substr(0, width - 1);
  field.resize(width, '\0');
  r->push_back('\0');
  *r += field;
}

}  // namespace

bool sim_control_reply(const SimOptions &opt, const uint8_t *body, size_t len,
                       std::string *reply, unsigned *command) {
  if (len < 12) return false;
  unsigned cmd = unsigned(body[4]) << 8 | body[5];
  *command = cmd;
  std::string r(reinterpret_cast<const char *>(body), 8);
  r[4] = char(body[4] + 1);  // the confirmation: 0xf2ff -> 0xf3ff etc.
  switch (cmd) {
    case CTRL_REGISTER: put16(&r, opt.register_error); break;
    case CTRL_MANUFACTURER: append_text(&r, opt.manufacturer, 64); break;
    case CTRL_VERSION:
      r.push_back('\0');
      for (unsigned v : {opt.capi_version[0], opt.capi_version[1], opt.manu_version[0],
                         opt.manu_version[1]})
        put32(&r, v);
      break;
    case CTRL_SERIAL: append_text(&r, opt.serial, 8); break;
    case CTRL_PROFILE: {
      put16(&r, opt.profile_error);
      std::string profile(64, '\0');
      profile[0] = 1;  // one controller
      profile[2] = 2;  // two B channels
      r += profile;
      break;
    }
    default: return false;
  }
  *reply = r;
  return true;
}
