// A module with four cards in four readers and an empty fifth reader, in every login state the
// sweeps need, and handles good, stale and made up.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "bad_input/sweep.h"
#include "sim/card/simulated_card.h"
#include "support/token_fixture.h"

namespace zorad::test {

class SweepWorldTest : public InitializedTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A key pair on card A: the public key verifies, the private one signs.
  void MakeKeyPair();
  CK_OBJECT_HANDLE CreateObject(CK_SESSION_HANDLE session, Template& object);

  // Card A: the user logged in; a read/write and a read-only session.
  CK_SLOT_ID slotA_ = 0;
  CK_SESSION_HANDLE rw_ = 0, ro_ = 0;
  CK_OBJECT_HANDLE publicKey_ = 0, privateKey_ = 0;
  CK_OBJECT_HANDLE tokenData_ = 0;    // a public token data object
  CK_OBJECT_HANDLE sessionData_ = 0;  // a session object of rw_
  // Card B: the security officer logged in, one read/write session.
  CK_SLOT_ID slotB_ = 0;
  CK_SESSION_HANDLE so_ = 0;
  // Card C: nobody logged in, a read/write and a read-only session.
  CK_SLOT_ID slotC_ = 0;
  CK_SESSION_HANDLE publicRw_ = 0, publicRo_ = 0;
  // Card D: no session at all.
  CK_SLOT_ID slotD_ = 0;
  // A reader without a card.
  CK_SLOT_ID slotE_ = 0;
  // Stale: a closed session, a destroyed object, an object whose session
  // was closed.
  CK_SESSION_HANDLE closed_ = 0;
  CK_OBJECT_HANDLE destroyed_ = 0, orphan_ = 0;

  std::vector<std::shared_ptr<sim::SimulatedCard>> cards_;
  std::vector<std::pair<uint8_t, uint8_t>> pinTries_;  // SO and user PIN, per card

 private:
  void OpenSessions();
  void MakeStaleHandles();
};

// A handle that matches a real one in its low 32 bits (only where CK_ULONG
// is wider); the module must not fold it onto the real one.
inline CK_ULONG Alias(CK_ULONG handle) {
  const uint64_t high = sizeof(CK_ULONG) > 4 ? uint64_t{1} << 32 : 0;
  return static_cast<CK_ULONG>(uint64_t{handle} | high);
}

}  // namespace zorad::test
