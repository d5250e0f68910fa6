// zorad-bench-stack: the shipped module on the real PC/SC stack, beside a
// direct replay of its card conversation, or (--peer) beside SoftHSMv2 in
// the calls that stay in memory. Run it where pcscd serves the virtual card,
// e.g. inside `scripts/virtual-reader run -- ...`.
//
//   zorad-bench-stack --module PATH [--short] [--repeat N] [--reader NAME] [--peer]
//
// The reader defaults to $ZORAD_VREADER_NAME, else the first one pcscd lists.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "common/p11_client.h"
#include "stack/pcsc_capture.h"
#include "stack/stack_bench.h"

namespace {

using zorad::bench::Real;

std::string FirstReader() {
  SCARDCONTEXT context = 0;
  if (Real().establishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) {
    throw zorad::bench::BenchError("pcscd is not reachable");
  }
  DWORD length = 0;
  std::vector<char> names;
  if (Real().listReaders(context, nullptr, nullptr, &length) == SCARD_S_SUCCESS && length > 0) {
    names.resize(length);
    if (Real().listReaders(context, nullptr, names.data(), &length) != SCARD_S_SUCCESS) {
      names.clear();
    }
  }
  Real().releaseContext(context);
  if (names.empty() || names[0] == '\0') throw zorad::bench::BenchError("pcscd lists no reader");
  return names.data();
}

bool Parse(int argc, char** argv, zorad::bench::StackOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--module" && hasValue) {
      options.modulePath = argv[++i];
    } else if (arg == "--reader" && hasValue) {
      options.reader = argv[++i];
    } else if (arg == "--repeat" && hasValue) {
      options.repeats = std::strtoul(argv[++i], nullptr, 10);
    } else if (arg == "--short") {
      options.repeats = 5;
      options.shortRun = true;
    } else if (arg == "--peer") {
      options.peer = true;
    } else {
      return false;
    }
  }
  return !options.modulePath.empty() && options.repeats > 0;
}

}  // namespace

int main(int argc, char** argv) {
  zorad::bench::StackOptions options;
  if (!Parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: zorad-bench-stack --module PATH [--short] [--repeat N] [--reader NAME] "
                 "[--peer]\n");
    return 2;
  }
  try {
    if (!options.peer && options.reader.empty()) {
      const char* name = std::getenv("ZORAD_VREADER_NAME");
      options.reader = name && *name ? name : FirstReader();
    }
    const std::string report =
        options.peer ? zorad::bench::StackPeerReport(options) : zorad::bench::StackReport(options);
    std::fputs((report + "\n").c_str(), stdout);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zorad-bench-stack: %s\n", e.what());
    return 1;
  }
  return 0;
}
