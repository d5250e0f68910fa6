// The APDU log line: commands and answers in hex, PIN data and challenge
// bytes masked, status words always shown.
#include <gtest/gtest.h>

#include "sim/vcard/apdu_log.h"
#include "vcard_test_support.h"

namespace zorad::vcard {
namespace {

using testing::FromHex;

struct LogCase {
  const char* what;
  const char* command;
  const char* answer;
  const char* line;
};

const LogCase kLogCases[] = {
    {"select", "00A4040C025A4F", "9000", "00 A4 04 0C 02 5A 4F => 90 00"},
    {"read with data", "00B0920004", "010203049000", "00 B0 92 00 04 => 01 02 03 04 90 00"},
    {"verify", "00200069083132333435363738", "9000",
     "00 20 00 69 08 ** ** ** ** ** ** ** ** => 90 00"},
    {"verify status query", "00200069", "63CA", "00 20 00 69 => 63 CA"},
    {"change reference data", "002401690431313131", "9000", "00 24 01 69 04 ** ** ** ** => 90 00"},
    {"challenge", "0084000004", "A1B2C3D49000", "00 84 00 00 04 => ** ** ** ** 90 00"},
    {"challenge refused", "0084000004", "6985", "00 84 00 00 04 => 69 85"},
    {"one-byte answer", "00C0000000", "90", "00 C0 00 00 00 => 90"},
    {"no answer", "00A4040C00", "", "00 A4 04 0C 00 =>"},
};

TEST(ApduLogLine, MasksSecretsKeepsStatus) {
  for (const LogCase& c : kLogCases) {
    EXPECT_EQ(FormatExchange(FromHex(c.command), FromHex(c.answer)), c.line) << c.what;
  }
}

}  // namespace
}  // namespace zorad::vcard
