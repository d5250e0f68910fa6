#include "reader/apdu_trace.h"

#include "trace/trace.h"

namespace zorad::reader {
namespace {

constexpr unsigned kHeaderLevel = 1;
constexpr unsigned kDataLevel = 2;

struct SecretInstruction {
  uint8_t instruction;
  ApduSecrecy secrecy;
};

const SecretInstruction kSecretInstructions[] = {
    {0x20, {true, false}},  // VERIFY: PIN
    {0x24, {true, false}},  // CHANGE REFERENCE DATA: PIN or key value
    {0x84, {false, true}},  // GET CHALLENGE: random bytes
};

}  // namespace

ApduSecrecy SecrecyOf(uint8_t instruction) {
  for (const SecretInstruction& entry : kSecretInstructions) {
    if (entry.instruction == instruction) return entry.secrecy;
  }
  return {};
}

void TraceCommandApdu(const Reader& reader, const uint8_t* command, size_t length,
                      const ApduSecrecy& secrecy) {
  const unsigned level = trace::ApduLevel();
  if (level < kHeaderLevel || command == nullptr || length < 4) return;
  trace::DebugPrintf("%s\n", reader.name.c_str());
  if (level >= kDataLevel) {
    trace::DebugPrintf("============================================\n");
  }
  // A four-byte command has no P3; it is shown as 00, its ISO meaning.
  const unsigned p3 = length > 4 ? command[4] : 0;
  trace::DebugPrintf("CLA=%02X INS=%02X P1=%02X P2=%02X P3=%02X...\n", command[0],
                     command[1], command[2], command[3], p3);
  if (level >= kDataLevel && length > 5) {
    trace::DebugPrintf("Data In:\n");
    trace::DebugDump("", command + 5, length - 5, secrecy.commandData);
    trace::DebugPrintf("\n");
  }
}

void TraceResponseApdu(uint16_t statusWord, const uint8_t* received, size_t length,
                       const ApduSecrecy& secrecy) {
  const unsigned level = trace::ApduLevel();
  if (level < kHeaderLevel) return;
  if (level >= kDataLevel && length != 0 && received != nullptr) {
    trace::DebugPrintf("Data Out:\n");
    trace::DebugDump("", received, length, secrecy.responseData);
  }
  trace::DebugPrintf("SW=%04X\n", statusWord);
}

void TraceAtr(const Reader& reader) {
  if (trace::ApduLevel() < kHeaderLevel) return;
  trace::DebugPrintf("\nATR:\n");
  trace::DebugDump("", reader.atr, reader.atrLength, false);
}

}  // namespace zorad::reader
