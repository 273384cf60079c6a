// SPDX-License-Identifier: MIT
// libFuzzer target for what dectsim reads from its clients: the input is a
// byte stream of frames (2-byte big-endian length counting itself, then the
// body). The first byte picks the fault set and the delay; frames go to the
// control-request parser until a register request, then to the module as
// CAPI messages, exactly as on one connection.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/simcore.h"

namespace {

SimOptions options_for(uint8_t pick) {
  SimOptions opt;
  unsigned at = 1 + (pick >> 4);
  opt.faults.push_back({1 + pick % FAULT_RESET, at, pick});
  opt.faults.push_back({FAULT_EXTRA_CLASS, at + 1, 0});
  opt.delay_ms = pick & 8 ? 10 : 0;
  return opt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  SimOptions opt = options_for(data[0]);
  SimSession session;
  bool app = false;
  for (size_t p = 1; p + 2 <= size;) {
    size_t len = size_t(data[p]) << 8 | data[p + 1];
    if (len < 3 || p + len > size) break;
    std::vector<uint8_t> body(data + p + 2, data + p + len);  // exact size for ASan
    p += len;
    if (!app) {
      std::string reply;
      unsigned cmd = 0;
      if (!sim_control_reply(opt, body.data(), body.size(), &reply, &cmd)) break;
      app = cmd == CTRL_REGISTER;
      continue;
    }
    if (body.size() < 8 || size_t(body[0] | body[1] << 8) != body.size()) break;
    std::vector<SimReply> out;
    bool close_conn = false;
    sim_handle_message(opt, &session, body.data(), body.size(), &out, &close_conn);
    session.ind_pending = false;
    if (close_conn) break;
  }
  std::vector<SimSession> sessions(1, session);
  sim_summary_json(SimTotals{}, sessions);
  sim_summary_text(SimTotals{}, sessions);
  return 0;
}
