// One card state, many runs: each run puts a fresh copy of the same card
// into a simulated reader and initialises the module around it, so that a
// fault injected in one run cannot leak into the next. After a run the card
// goes back into the reader and a fresh module reads the token as an
// application would: a session, the user's login, every object's attributes.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/cryptoki.h"
#include "sim/card/simulated_card.h"

namespace zorad::test::faults {

using Bytes = std::vector<uint8_t>;

inline constexpr const char* kFaultReader = "Fault Reader";
inline constexpr const char* kUserPin = "12345678";
inline constexpr const char* kSoPin = "87654321";

// An object as an application reads it: the value of every attribute type
// of the view list that it has.
using ObjectView = std::map<CK_ATTRIBUTE_TYPE, Bytes>;

// The token as a fresh session sees it. The first failure of each step is
// kept; the objects are those read before it.
struct TokenView {
  CK_RV open = CKR_GENERAL_ERROR;
  CK_RV login = CKR_USER_NOT_LOGGED_IN;  // not tried
  CK_RV search = CKR_GENERAL_ERROR;      // C_FindObjectsInit, C_FindObjects or an attribute read
  std::map<std::string, ObjectView> objects;  // by label

  bool Readable() const { return open == CKR_OK && login == CKR_OK && search == CKR_OK; }
};

class CardWorld {
 public:
  // A fresh PC/SC world with the card in its reader and the module
  // initialised; the slot is found.
  void Start(const sim::CardState& state);
  // The module finalised completely.
  void Stop();
  // The card back in the reader, faults and volatile state dropped, the
  // module initialised again.
  void Reinsert();

  CK_SESSION_HANDLE OpenSession();  // read/write
  // The handle of the object with this label; 0 when the search finds none.
  CK_OBJECT_HANDLE Find(CK_SESSION_HANDLE session, const std::string& label);
  // Reads the token: a read/write session and, with a PIN, the user's login.
  TokenView View(const std::string& userPin = kUserPin);

  sim::SimulatedCard& card() { return *card_; }
  CK_SLOT_ID slot() const { return slot_; }

 private:
  std::shared_ptr<sim::SimulatedCard> card_;
  CK_SLOT_ID slot_ = 0;
};

using Handles = std::map<std::string, CK_OBJECT_HANDLE>;

// Every object's attributes through the session, by label, and their
// handles when asked; the first failure ends the reading.
CK_RV ReadObjects(CK_SESSION_HANDLE session, std::map<std::string, ObjectView>& objects,
                  Handles* handles = nullptr);

// One object's attributes of the view list.
CK_RV ReadObject(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE handle, ObjectView& view);

CK_RV LoginUser(CK_SESSION_HANDLE session, const std::string& pin = kUserPin);
CK_STATE SessionState(CK_SESSION_HANDLE session);

// Persistent card content, compared whole.
bool SameCard(const sim::CardState& a, const sim::CardState& b);

}  // namespace zorad::test::faults
