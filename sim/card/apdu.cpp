#include "sim/card/apdu.h"

namespace zorad::sim {

std::optional<Apdu> ParseApdu(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  Apdu apdu;
  apdu.cla = bytes[0];
  apdu.ins = bytes[1];
  apdu.p1 = bytes[2];
  apdu.p2 = bytes[3];
  if (bytes.size() == 4) return apdu;
  apdu.p3 = bytes[4];
  if (bytes.size() == 5) return apdu;
  // Data follows: P3 is Lc. Lc 00 here would be an extended length, which
  // the card does not take.
  const size_t lc = apdu.p3;
  if (lc == 0) return std::nullopt;
  if (bytes.size() == 5 + lc) {
    apdu.data = bytes.subspan(5, lc);
    return apdu;
  }
  if (bytes.size() == 6 + lc) {
    apdu.data = bytes.subspan(5, lc);
    apdu.trailingLe = bytes[5 + lc];
    return apdu;
  }
  return std::nullopt;
}

}  // namespace zorad::sim
