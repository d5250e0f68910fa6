// The whole virtual reader on the real PC/SC stack: scripts/virtual-reader
// runs pcscd with the vpcd driver and zorad-vcard in private namespaces;
// inside, the real PC/SC library lists the reader, connects and reads the
// ATR, exchanges an APDU, and sees the card pulled and inserted again.
// Skipped where pcscd, the vpcd driver or namespaces are not to be had.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/card/simulated_card.h"
#include "vcard_test_support.h"

namespace zorad::vcard {
namespace {

constexpr const char* kVpcdDriver = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";

// Why the real stack cannot run here; empty when it can.
std::string MissingPrerequisite() {
  if (::geteuid() != 0) return "not root: namespaces need root";
  if (std::system("command -v pcscd >/dev/null 2>&1") != 0) return "pcscd is not installed";
  if (::access(kVpcdDriver, R_OK) != 0) return "the vpcd driver is not installed";
  if (std::system("unshare --mount --net --propagation private true >/dev/null 2>&1") != 0) {
    return "mount and network namespaces are unavailable";
  }
  return "";
}

struct ShellRun {
  int status = -1;
  std::vector<std::string> lines;
};

ShellRun RunShell(const std::string& command) {
  ShellRun run;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    std::string line(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    run.lines.push_back(line);
  }
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Joined(const ShellRun& run) {
  std::ostringstream text;
  for (const std::string& line : run.lines) text << line << '\n';
  return text.str();
}

bool HasLine(const ShellRun& run, const std::string& line) {
  for (const std::string& l : run.lines) {
    if (l == line) return true;
  }
  return false;
}

TEST(VirtualReader, PcscdListsTheReaderAndReadsTheCard) {
  const std::string missing = MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  testing::TempDir dir;
  const std::string bin = ZORAD_VCARD_BIN_DIR;
  const std::string probe = bin + "/zorad-pcsc-probe";
  const std::string reader = "Virtual PCD 00 00";
  // Each step prints a line the test looks for; `set -e` stops at the first
  // step that fails.
  const std::string inside = "set -e; " + probe + " readers; " + "echo WAIT $(" + probe +
                             " wait); " + probe +
                             " transmit 00A4040C0C5A4F5241445F504B43533131 80FE060007; " +
                             ZORAD_SOURCE_DIR "/scripts/virtual-reader pull; " + "echo PULLED $(" +
                             probe + " wait --absent --reader \"$ZORAD_VREADER_NAME\"); " +
                             ZORAD_SOURCE_DIR "/scripts/virtual-reader insert; " + "echo BACK $(" +
                             probe + " wait); " + "exit 42";
  const ShellRun run =
      RunShell(std::string(ZORAD_SOURCE_DIR) + "/scripts/virtual-reader run --bin " + bin +
               " --state " + dir.File("state") + " --image " + dir.File("card.img") +
               " --new --serial 0A0B0C0D0E0F10 -- sh -c '" + inside + "'");
  const std::string atr = testing::ToHex(sim::SimulatedCard().Atr());
  EXPECT_EQ(run.status, 42) << Joined(run);  // the command's own exit status
  EXPECT_TRUE(HasLine(run, reader)) << Joined(run);
  EXPECT_TRUE(HasLine(run, "WAIT " + reader + " " + atr)) << Joined(run);
  EXPECT_TRUE(HasLine(run, "9000")) << Joined(run);
  EXPECT_TRUE(HasLine(run, "0A0B0C0D0E0F109000")) << Joined(run);
  EXPECT_TRUE(HasLine(run, "PULLED " + reader)) << Joined(run);
  EXPECT_TRUE(HasLine(run, "BACK " + reader + " " + atr)) << Joined(run);
  // Everything it started was stopped, by process id, and the card kept.
  EXPECT_FALSE(std::ifstream(dir.File("state/vcard.pid")).good());
  EXPECT_FALSE(std::ifstream(dir.File("state/pcscd.pid")).good());
  EXPECT_TRUE(std::ifstream(dir.File("card.img")).good());
}

}  // namespace
}  // namespace zorad::vcard
