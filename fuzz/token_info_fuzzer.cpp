// Fuzz target: the token information file and ReadTokenInfo/FillTokenInfo
// on a simulated card whose token information, label, allocation tables
// and PIN status answers come from the input.
//
// Input:
//   byte   flags: 0x01 seal the file's checksum, 0x02 force format 1.0,
//          0x04 T=0, 0x08 seal the public table, 0x10 seal the private
//          table, 0x20 slot logged in as user, 0x40 ... with the user PIN
//          verified on the card, 0x80 PIN status queries answer `sw`
//   byte   card: 0x01 no application, 0x02 no label file, 0x04 no token
//          information file
//   72     token information file
//   32     label file
//   byte   user PIN tries left (0x10: must change), byte SO PIN tries left
//   u16    sw
//   chunk  public table bytes, chunk private table bytes
#include <cstring>

#include "card/byte_order.h"
#include "card/crc32.h"
#include "card/token_info.h"
#include "card/token_info_file.h"
#include "sim/card/card_state.h"
#include "support/card_rig.h"
#include "support/fuzz_input.h"

namespace zorad::fuzz {
namespace {

using InfoFile = std::array<uint8_t, card::kTokenInfoFileSize>;

struct Input {
  uint8_t flags = 0;
  uint8_t variant = 0;
  InfoFile info{};
  std::vector<uint8_t> label;
  uint8_t userTries = 0;
  uint8_t soTries = 0;
  uint16_t sw = 0;
  std::span<const uint8_t> publicTable;
  std::span<const uint8_t> privateTable;
};

Input Parse(FuzzInput& in) {
  Input input;
  input.flags = in.Byte();
  input.variant = in.Byte();
  const auto info = in.Padded(card::kTokenInfoFileSize);
  std::copy(info.begin(), info.end(), input.info.begin());
  input.label = in.Padded(card::kLabelSize);
  input.userTries = in.Byte();
  input.soTries = in.Byte();
  input.sw = in.U16();
  input.publicTable = in.Chunk();
  input.privateTable = in.Chunk();
  if (input.flags & 0x02) {
    input.info[card::info_offset::kFormatMajor] = card::kInfoFormatMajor;
    input.info[card::info_offset::kFormatMinor] = card::kInfoFormatMinor;
  }
  if (input.flags & 0x01) {
    const auto covered =
        std::span<const uint8_t>(input.info).subspan(card::info_offset::kCrcCovered);
    card::StoreBE32(input.info.data(), card::CRC32(covered));
  }
  return input;
}

// The file on its own: decoding never depends on validity.
void CheckDecoding(const InfoFile& file) {
  const bool valid = card::IsValidTokenInfoFile(file);
  const card::TokenInfoFile decoded = card::DecodeTokenInfoFile(file);
  Check(!valid || (decoded.formatMajor == card::kInfoFormatMajor &&
                   decoded.formatMinor == card::kInfoFormatMinor),
        "a valid file decodes to another format");
}

sim::CardState CardFor(const Input& input) {
  sim::CardState state = DefaultCardState();
  state.files[sim::kTokenInfoFid].data.assign(input.info.begin(), input.info.end());
  state.files[sim::kLabelFid].data = input.label;
  const card::TokenInfoFile info = card::DecodeTokenInfoFile(input.info);
  PutAreaTable(state, sim::kPublicAreaFid, info.publicArea.capacity, info.publicArea.blockCount,
               input.publicTable, input.flags & 0x08);
  PutAreaTable(state, sim::kPrivateAreaFid, info.privateArea.capacity, info.privateArea.blockCount,
               input.privateTable, input.flags & 0x10);
  if (input.variant & 0x01) state.settings.hasApplication = false;
  if (input.variant & 0x02) state.files.erase(sim::kLabelFid);
  if (input.variant & 0x04) state.files.erase(sim::kTokenInfoFid);
  auto& user = state.pins[sim::kUserPinRef];
  user.triesLeft = std::min<uint8_t>(input.userTries & 0x0F, user.maxTries);
  user.mustChange = (input.userTries & 0x10) != 0;
  auto& so = state.pins[sim::kSoPinRef];
  so.triesLeft = std::min<uint8_t>(input.soTries & 0x0F, so.maxTries);
  return state;
}

// What a successful read must hand out.
void CheckTokenInfo(const InfoFile& file, const card::Token& token, const CK_TOKEN_INFO& info) {
  Check(info.ulFreePublicMemory <= info.ulTotalPublicMemory, "more free public memory than total");
  Check(info.ulFreePrivateMemory <= info.ulTotalPrivateMemory,
        "more free private memory than total");
  if (!card::IsValidTokenInfoFile(file)) {
    Check(info.ulTotalPublicMemory == 0 && info.ulTotalPrivateMemory == 0 &&
              info.ulMaxPinLen == 0 && info.firmwareVersion.major == 0,
          "a file that failed its checks was used");
  }
  Check(token.info.writeChunk != 0, "write chunk 0 left in the token record");
  Check(std::memcmp(info.serialNumber, token.serialNumber.data(), sizeof info.serialNumber) == 0,
        "serial number not handed out");
}

// What the token's files say reaches the application unchanged.
void CheckFiles(const Input& input, const CK_TOKEN_INFO& info) {
  const bool hasApplication = (input.variant & 0x01) == 0;
  if (hasApplication && (input.variant & 0x02) == 0) {
    Check(std::memcmp(info.label, input.label.data(), sizeof info.label) == 0,
          "the label differs from the label file");
  }
  if (hasApplication && (input.variant & 0x06) == 0 && card::IsValidTokenInfoFile(input.info)) {
    Check(std::memcmp(info.manufacturerID, &input.info[card::info_offset::kManufacturer],
                      sizeof info.manufacturerID) == 0,
          "the manufacturer differs from the token information file");
  }
}

void Run(const Input& input) {
  CardRig rig(CardFor(input), input.flags & 0x04);
  if (input.flags & 0x80) {
    rig.card().AnswerMatching(sim::CommandPattern{std::nullopt, uint8_t{0x20}}, input.sw);
  }
  if (input.flags & 0x20) {
    if (input.flags & 0x40) {
      rig.BeginAndSelect();
      rig.LoginUser();
      rig.End();
    }
    rig.slot().loginState = card::kUser;
  }
  const CK_RV first = card::ReadTokenInfo(rig.slot());
  CK_TOKEN_INFO firstInfo;
  card::FillTokenInfo(firstInfo, rig.token());
  if (first != CKR_OK) return;
  CheckTokenInfo(input.info, rig.token(), firstInfo);
  CheckFiles(input, firstInfo);
  // The card did not change, so reading it again gives the same picture.
  const CK_RV second = card::ReadTokenInfo(rig.slot());
  Check(second == CKR_OK, "a second read of an unchanged card failed");
  CK_TOKEN_INFO secondInfo;
  card::FillTokenInfo(secondInfo, rig.token());
  Check(std::memcmp(&firstInfo, &secondInfo, sizeof firstInfo) == 0,
        "a second read of an unchanged card differs");
}

}  // namespace
}  // namespace zorad::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zorad::fuzz;
  FuzzInput in(data, size);
  const Input input = Parse(in);
  CheckDecoding(input.info);
  Run(input);
  return 0;
}
