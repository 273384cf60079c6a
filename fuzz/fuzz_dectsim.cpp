// SPDX-License-Identifier: MIT
// libFuzzer target for what dectsim reads from its clients: the input is a
// byte stream as one connection carries it. The first byte picks the fault
// set and the delay; frames go through the server's framing to the control
// requests until a register request, then to the module as CAPI messages,
// from one of two applications (the low bit of the ApplId picks it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/simcore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  SimOptions opt;
  sim_state_parse(std::string(reinterpret_cast<const char *>(data), size), &opt);  // as a --state file
  unsigned at = 1 + (data[0] >> 4);
  opt.faults.push_back({1 + data[0] % FAULT_RESET, at, data[0]});
  opt.faults.push_back({FAULT_EXTRA_CLASS, at + 1, 0});
  opt.delay_ms = data[0] & 8 ? 10 : 0;
  SimModule module = sim_module_init(opt);
  std::vector<SimSession> sessions(2);
  bool app = false;
  size_t len;
  std::string why;
  for (size_t p = 1; sim_next_frame(data + p, size - p, app, &len, &why) == FRAME_OK; p += len) {
    std::vector<uint8_t> body(data + p + 2, data + p + len);  // exact size for ASan
    std::vector<SimReply> out;
    unsigned cmd = 0;
    std::string reply;
    if (!app && !sim_control_reply(opt, body.data(), body.size(), &reply, &cmd)) break;
    if (!app) {
      app = cmd == CTRL_REGISTER;
      continue;
    }
    SimSession &session = sessions[body[2] & 1];
    session.id = 1 + (body[2] & 1);
    if (sim_handle_message(opt, &module, &session, body.data(), body.size(), &out) != AFTER_KEEP) break;
    session.ind_pending = false;
  }
  sim_summary_json(SimTotals{}, sessions);
  sim_summary_text(SimTotals{}, sessions);
  return 0;
}
