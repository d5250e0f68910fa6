// SELECT, READ BINARY, UPDATE BINARY, ACTIVATE and DEACTIVATE FILE.
#include <algorithm>
#include <array>

#include "sim/card/card_commands.h"
#include "sim/card/file_access.h"

namespace zorad::sim {
namespace {

constexpr std::array<uint8_t, 12> kApplicationId = {'Z', 'O', 'R', 'A', 'D', '_',
                                                     'P', 'K', 'C', 'S', '1', '1'};

Reply SelectApplication(CardContext& ctx, const Apdu& apdu) {
  const bool match = std::equal(apdu.data.begin(), apdu.data.end(), kApplicationId.begin(),
                                kApplicationId.end());
  if (!match || !ctx.state.settings.hasApplication) {
    ctx.session.applicationSelected = false;
    ctx.session.currentFile.reset();
    return Status(sw::kNotFound);
  }
  ctx.session.applicationSelected = true;
  ctx.session.currentFile.reset();
  return Status(sw::kOk);
}

Reply SelectFileById(CardContext& ctx, const Apdu& apdu) {
  if (apdu.data.size() != 2) return Status(sw::kWrongLength);
  if (!ctx.session.applicationSelected) return Status(sw::kNotFound);
  const uint16_t fid = static_cast<uint16_t>((apdu.data[0] << 8) | apdu.data[1]);
  if (ctx.state.files.count(fid) == 0) return Status(sw::kNotFound);
  ctx.session.currentFile = fid;
  return Status(sw::kOk);
}

// Resolves the file and offset of READ/UPDATE BINARY. With bit 7 of P1 set,
// P1 carries a short file identifier (which becomes the current file) and P2
// the offset; otherwise P1 P2 is a 15-bit offset into the current file.
std::optional<uint16_t> AddressedFile(CardContext& ctx, const Apdu& apdu, size_t& offset,
                                      uint16_t& error) {
  if (!ctx.session.applicationSelected) return error = sw::kNotFound, std::nullopt;
  if ((apdu.p1 & 0x80) == 0) {
    offset = (size_t{apdu.p1} << 8) | apdu.p2;
    if (!ctx.session.currentFile) return error = sw::kNoCurrentFile, std::nullopt;
    return ctx.session.currentFile;
  }
  if ((apdu.p1 & 0x60) != 0) return error = sw::kWrongP1P2, std::nullopt;
  const uint8_t sfi = apdu.p1 & 0x1F;
  offset = apdu.p2;
  for (const auto& [fid, file] : ctx.state.files) {
    if (sfi != 0 && file.sfi == sfi) {
      ctx.session.currentFile = fid;
      return fid;
    }
  }
  return error = sw::kNotFound, std::nullopt;
}

}  // namespace

Reply SelectCommand(CardContext& ctx, const Apdu& apdu) {
  if (apdu.p2 != 0x0C && apdu.p2 != 0x00) return Status(sw::kWrongP1P2);
  if (apdu.p1 == 0x04) return SelectApplication(ctx, apdu);
  if (apdu.p1 == 0x00) return SelectFileById(ctx, apdu);
  return Status(sw::kWrongP1P2);
}

Reply ReadBinaryCommand(CardContext& ctx, const Apdu& apdu) {
  if (apdu.HasData()) return Status(sw::kWrongLength);
  size_t offset = 0;
  uint16_t error = 0;
  auto fid = AddressedFile(ctx, apdu, offset, error);
  if (!fid) return Status(error);
  const CardFile& file = ctx.state.files.at(*fid);
  if (!file.active) return Status(sw::kConditionsNotSatisfied);
  if (!AccessGranted(RulesForFile(*fid).read, ctx.session)) return Status(sw::kSecurityNotSatisfied);
  if (offset >= file.data.size()) return Status(sw::kOutOfFile);
  const size_t wanted = apdu.Le();
  const size_t available = std::min(wanted, file.data.size() - offset);
  Reply reply;
  reply.data.assign(file.data.begin() + offset, file.data.begin() + offset + available);
  reply.sw = available < wanted ? sw::kEndOfFile : sw::kOk;
  return reply;
}

Reply UpdateBinaryCommand(CardContext& ctx, const Apdu& apdu, size_t maxApplied) {
  if (!apdu.HasData() || apdu.trailingLe) return Status(sw::kWrongLength);
  size_t offset = 0;
  uint16_t error = 0;
  auto fid = AddressedFile(ctx, apdu, offset, error);
  if (!fid) return Status(error);
  CardFile& file = ctx.state.files.at(*fid);
  if (!file.active) return Status(sw::kConditionsNotSatisfied);
  if (!AccessGranted(RulesForFile(*fid).write, ctx.session)) return Status(sw::kSecurityNotSatisfied);
  if (offset + apdu.data.size() > file.data.size()) return Status(sw::kOutOfFile);
  const size_t applied = std::min(maxApplied, apdu.data.size());
  std::copy_n(apdu.data.begin(), applied, file.data.begin() + offset);
  return Status(sw::kOk);
}

// Only the security officer changes a file's life cycle state. A successful
// change answers the card's configured activation answer (9000 or 6989).
// Deactivating the user PIN file ends the user's verification: a PIN that
// cannot be used cannot stay proven.
Reply ActivationCommand(CardContext& ctx, const Apdu& apdu, bool activate) {
  if (apdu.p1 != 0 || apdu.p2 != 0) return Status(sw::kWrongP1P2);
  if (apdu.data.size() != 2 || apdu.trailingLe) return Status(sw::kWrongLength);
  if (!ctx.session.applicationSelected) return Status(sw::kNotFound);
  const uint16_t fid = static_cast<uint16_t>((apdu.data[0] << 8) | apdu.data[1]);
  auto it = ctx.state.files.find(fid);
  if (it == ctx.state.files.end()) return Status(sw::kNotFound);
  if (!ctx.session.IsVerified(kSoPinRef)) return Status(sw::kSecurityNotSatisfied);
  it->second.active = activate;
  if (!activate && fid == kUserPinFid) ctx.session.verifiedPins.erase(kUserPinRef);
  return Status(ctx.state.settings.activationAnswer);
}

}  // namespace zorad::sim
