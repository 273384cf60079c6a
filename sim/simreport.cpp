// SPDX-License-Identifier: MIT
// The end-of-run summary: one human-readable block and a flat JSON file
// (one key per line, so tests can pick values with a plain string search).
#include <fcntl.h>
#include <openssl/sha.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/simcore.h"

namespace {

std::string json_string(const std::string &v) {
  std::string r = "\"";
  for (unsigned char c : v) {
    if (c == '"' || c == '\\') {
      r.push_back('\\');
      r.push_back(char(c));
    } else if (c < 0x20 || c >= 0x7f) {
      char esc[8];
      snprintf(esc, sizeof esc, "\\u%04x", c);
      r += esc;
    } else {
      r.push_back(char(c));
    }
  }
  return r + "\"";
}

void json_num(std::string *j, const char *key, long v, bool comma = true) {
  *j += "\"" + std::string(key) + "\": " + std::to_string(v) + (comma ? ",\n" : "\n");
}

void json_array(std::string *j, const char *key, const std::vector<std::string> &items) {
  *j += "\"" + std::string(key) + "\": [";
  for (size_t i = 0; i < items.size(); i++)
    *j += (i ? ",\n" : "\n") + json_string(items[i]);
  *j += items.empty() ? "],\n" : "\n],\n";
}

void json_session(std::string *j, const SimSession &s) {
  *j += "{\n";
  json_num(j, "requests", s.requests);
  json_num(j, "start_requests", s.start_requests);
  json_num(j, "data_chunks", s.data_chunks);
  json_num(j, "end_requests", s.end_requests);
  json_num(j, "version_requests", s.version_requests);
  json_num(j, "bytes", long(s.firmware.size()));
  *j += "\"sha256\": \"" + sim_sha256(s.firmware) + "\",\n";
  json_num(j, "appl_id", s.appl_id);
  json_num(j, "controller", s.controller);
  json_num(j, "complete", s.phase == PHASE_COMPLETE ? 1 : 0);
  json_num(j, "faults_injected", s.faults_injected);
  json_array(j, "violations", s.violations);
  *j += "\"closed_by\": " + json_string(s.closed_by) + "\n}";
}

bool write_all(int fd, const std::string &data) {
  for (size_t done = 0; done < data.size();) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// The rename itself survives a power cut once its folder is synced.
void sync_folder(const std::string &path) {
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY);
  fsync(fd);  // a folder that would not open: both calls fail, harmlessly
  close(fd);
}

}  // namespace

// mkstemp creates its name exclusively: whatever was planted under any
// name beside path, a link included, stays as it was.
bool sim_write_file(const std::string &path, const std::string &data) {
  std::string tmp = path + ".XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd < 0) return false;
  mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, data) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) {
    sync_folder(path);
    return true;
  }
  int error = errno;
  unlink(tmp.c_str());
  errno = error;
  return false;
}

std::string sim_vformat(const std::string &prefix, const char *fmt, va_list ap) {
  char text[200];
  vsnprintf(text, sizeof text, fmt, ap);
  return prefix + text;
}

std::string sim_hex(const uint8_t *p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string h;
  h.reserve(2 * n);
  for (size_t i = 0; i < n; i++) {
    h.push_back(digits[p[i] >> 4]);
    h.push_back(digits[p[i] & 15]);
  }
  return h;
}

std::string sim_sha256(const std::string &bytes) {
  uint8_t md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), md);
  return sim_hex(md, sizeof md);
}

std::string sim_summary_text(const SimTotals &t, const std::vector<SimSession> &sessions) {
  std::string r = "dectsim summary: " + std::to_string(t.connections) + " connection(s), " +
                  std::to_string(t.control_requests) + " control request(s), " +
                  std::to_string(t.registrations) + " registration(s) (" +
                  std::to_string(t.refused_registrations) + " refused), " +
                  std::to_string(t.malformed.size()) + " malformed frame(s)\n";
  for (const std::string &m : t.malformed) r += "  malformed: " + m + "\n";
  for (size_t i = 0; i < sessions.size(); i++) {
    const SimSession &s = sessions[i];
    char line[400];
    snprintf(line, sizeof line,
             "session %zu (closed by %s): %u request(s): %u start, %u data, %u end, %u version; "
             "controller %ld\n  firmware: %zu bytes, sha256 %s, %s\n  faults injected: %u, "
             "violations: %zu\n",
             i + 1, s.closed_by.c_str(), s.requests, s.start_requests, s.data_chunks,
             s.end_requests, s.version_requests, s.controller, s.firmware.size(),
             sim_sha256(s.firmware).c_str(),
             s.phase == PHASE_COMPLETE ? "update complete" : s.phase == PHASE_DATA ? "update incomplete" : "no update",
             s.faults_injected, s.violations.size());
    r += line;
    for (const std::string &v : s.violations) r += "  violation: " + v + "\n";
  }
  return r;
}

// The first session's keys come first, so a search for "requests" etc.
// finds the session that --once describes.
std::string sim_summary_json(const SimTotals &t, const std::vector<SimSession> &sessions) {
  std::string j = "{\n\"sessions\": [\n";
  for (size_t i = 0; i < sessions.size(); i++) {
    if (i) j += ",\n";
    json_session(&j, sessions[i]);
  }
  j += sessions.empty() ? "],\n" : "\n],\n";
  json_num(&j, "session_count", long(sessions.size()));
  json_num(&j, "connections", t.connections);
  json_num(&j, "control_requests", t.control_requests);
  json_num(&j, "registrations", t.registrations);
  json_num(&j, "refused_registrations", t.refused_registrations);
  json_num(&j, "max_logical_connections", t.max_logical_connections);
  json_num(&j, "max_b_data_blocks", t.max_b_data_blocks);
  json_num(&j, "max_b_data_len", t.max_b_data_len);
  json_num(&j, "malformed_frames", long(t.malformed.size()));
  j += "\"malformed\": [";
  for (size_t i = 0; i < t.malformed.size(); i++) j += (i ? ",\n" : "\n") + json_string(t.malformed[i]);
  j += t.malformed.empty() ? "]\n}\n" : "\n]\n}\n";
  return j;
}
