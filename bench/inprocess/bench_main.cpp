// zorad-bench: the in-process benchmarks. The module is linked in and
// talks to the PC/SC double and the card simulator.
//
//   zorad-bench [--short] [economy] [peer] [scaling]
//
// Each part prints a markdown section on standard output; without a part
// name all three run. --short makes the timed parts brief (for CI).
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common/p11_client.h"
#include "inprocess/economy.h"
#include "inprocess/peer.h"
#include "inprocess/scaling.h"

namespace {

struct Options {
  bool shortRun = false;
  bool economy = false;
  bool peer = false;
  bool scaling = false;
};

bool Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--short") {
      options.shortRun = true;
    } else if (arg == "economy") {
      options.economy = true;
    } else if (arg == "peer") {
      options.peer = true;
    } else if (arg == "scaling") {
      options.scaling = true;
    } else {
      std::fprintf(stderr, "usage: zorad-bench [--short] [economy] [peer] [scaling]\n");
      return false;
    }
  }
  if (!options.economy && !options.peer && !options.scaling) {
    options.economy = options.peer = options.scaling = true;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!Parse(argc, argv, options)) return 2;
  try {
    if (options.economy) std::fputs((zorad::bench::EconomyReport() + "\n").c_str(), stdout);
    if (options.peer)
      std::fputs((zorad::bench::PeerReport(options.shortRun) + "\n").c_str(), stdout);
    if (options.scaling) {
      std::fputs((zorad::bench::ScalingReport(options.shortRun) + "\n").c_str(), stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zorad-bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
