// The module under test as the test executable loaded it: the shipped
// zorad_pkcs11.dll from the executable's folder (or ZORAD_PKCS11_DLL),
// its function list, and the control table of the simulated winscard.dll
// that the module imported.
#pragma once

#include <windows.h>

#include <string>

#include "platform/cryptoki.h"
#include "sim/windows/sim_control.h"

namespace zorad::wintest {

struct LoadedModule {
  HMODULE module = nullptr;
  HMODULE winscard = nullptr;
  std::string path;
  CK_FUNCTION_LIST_PTR functions = nullptr;
  const ZoradSimControl* sim = nullptr;
  // Answers of locking entry points in the process's first moments, before
  // any C_Initialize.
  CK_RV getSlotListBeforeInitialize = CKR_OK;
  CK_RV getInfoBeforeInitialize = CKR_OK;
  CK_RV openSessionBeforeInitialize = CKR_OK;
};

// Loads the module and finds the simulator; false with a reason on failure.
bool LoadModule(std::string* error);
const LoadedModule& Loaded();
// Unloads the module; false when FreeLibrary fails.
bool UnloadModule();

// Shorthands for the tests.
inline CK_FUNCTION_LIST& F() { return *Loaded().functions; }
inline const ZoradSimControl& Sim() { return *Loaded().sim; }

}  // namespace zorad::wintest
