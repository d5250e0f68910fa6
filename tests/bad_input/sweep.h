// Table-driven sweeps of bad input through the function list: each row is
// one call with one bad argument (or in a state where the call cannot be
// served) and the result it must give, or any CKR_* code where nothing
// decides which.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/cryptoki.h"
#include "support/ckr_names.h"

namespace zorad::test {

// The function list as an application gets it.
CK_FUNCTION_LIST& F();

struct BadInput {
  std::string what;
  std::function<CK_RV()> call;
  // The result the call must give; kAnyCode where any CKR_* code will do.
  CK_RV expected;
  // Checks of what the call left behind (outputs untouched, lengths set).
  std::function<void()> after = nullptr;
};

inline constexpr CK_RV kAnyCode = ~CK_RV{0};

// Runs every row; a row fails when its result differs from the expected
// one or is no CKR_* code at all. Prints the number tried under `title`.
void RunSweep(const std::string& title, const std::vector<BadInput>& rows);

// Handles the rows of the whole-list sweep call with: a slot, a session,
// an object and a key, valid, stale or made up as the sweep needs.
struct Handles {
  CK_SLOT_ID slot = 1;
  CK_SESSION_HANDLE session = 1;
  CK_OBJECT_HANDLE object = 1;
  CK_OBJECT_HANDLE key = 1;
};

// What each group of the list answers in a state where no locking entry
// point can run (before C_Initialize, after C_Finalize).
struct ListExpectations {
  CK_RV locking;   // the implemented entry points other than the three below
  CK_RV finalize;  // C_Finalize(NULL); CKR_CRYPTOKI_NOT_INITIALIZED: the stubs say so too
};

// What a row of WholeListRows must answer when its slot and session
// handles name nothing: CKR_SLOT_ID_INVALID for the slot functions,
// CKR_SESSION_HANDLE_INVALID for the session functions, kAnyCode for the
// rest.
CK_RV AnswerToUnknownHandles(const std::string& function);

// One row for each of the 68 functions except C_Initialize, with arguments
// that pass every check made before the lock, so that the state decides.
std::vector<BadInput> WholeListRows(const Handles& handles, const ListExpectations& expect);

}  // namespace zorad::test
