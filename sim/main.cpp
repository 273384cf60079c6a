// SPDX-License-Identifier: MIT
// dectsim: entry point.
#include "sim/simcore.h"
#include "sim/simserver.h"

int main(int argc, char **argv) {
  SimOptions opt;
  int r = sim_parse_options(argc, argv, &opt);
  if (r == 1) return 0;
  if (r != 0) return 2;
  return sim_run(opt);
}
