// A whole token life through the module's entry points, as an application
// lives it: initialise, find the slot, read the token, open a session, log
// in, list and read the objects, then, as the scenario bits ask, change
// objects, sign and verify, generate and delete keys, draw random bytes,
// change the PIN, set the user PIN as security officer and initialise the
// token; log out, close, and leave the module initialised (the rig
// finalises).
// The results are not judged: the fuzz targets look for crashes, sanitizer
// reports and transactions left open.
#pragma once

#include <cstdint>

namespace zorad::fuzz {

// Scenario bits.
inline constexpr uint8_t kLifeT0 = 0x01;  // read by the rig, not here
inline constexpr uint8_t kLifeDataObject = 0x02;
inline constexpr uint8_t kLifeSignVerify = 0x04;
inline constexpr uint8_t kLifeKeyPair = 0x08;
inline constexpr uint8_t kLifeRandom = 0x10;
inline constexpr uint8_t kLifePinChange = 0x20;
inline constexpr uint8_t kLifeSlotEvents = 0x40;
inline constexpr uint8_t kLifeAdministration = 0x80;

void TokenLife(uint8_t scenario);

}  // namespace zorad::fuzz
