// One PKCS#11 slot: a PC/SC reader the module has seen, its connection, the
// login state shared by the slot's sessions and, while a card of the family
// is attached, its token.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/cryptoki.h"

namespace zorad::reader {
struct Reader;
}
namespace zorad::card {
struct Token;
}

namespace zorad::slot {

// Bits of Slot::flags and Slot::reportedFlags.
inline constexpr uint8_t kReaderPresent = 0x01;
inline constexpr uint8_t kTokenPresent = 0x02;

// Values of Slot::loginState.
enum LoginState : uint32_t { kNobody = 0, kSecurityOfficer = 1, kUser = 2 };

struct Slot {
  Slot();
  ~Slot();
  Slot(const Slot&) = delete;
  Slot& operator=(const Slot&) = delete;

  uint32_t slotId = 0;  // the key of the slot in the slot table
  std::string readerName;
  uint8_t flags = 0;
  // flags as last reported to the application; a difference is an event.
  uint8_t reportedFlags = 0;
  uint32_t loginState = kNobody;
  CK_SLOT_INFO info{};
  std::unique_ptr<reader::Reader> reader;
  std::unique_ptr<card::Token> token;
};

}  // namespace zorad::slot
