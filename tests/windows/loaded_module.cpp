#include "loaded_module.h"

#include <cstdlib>

namespace zorad::wintest {
namespace {

LoadedModule g_loaded;

std::string ExecutableFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length < MAX_PATH ? length : 0);
  const size_t slash = folder.find_last_of("\\/");
  return slash == std::string::npos ? std::string(".") : folder.substr(0, slash);
}

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// What the module answers before the process ever initialised it.
void RecordAnswersBeforeInitialize(LoadedModule& loaded) {
  CK_FUNCTION_LIST& f = *loaded.functions;
  CK_ULONG count = 0;
  loaded.getSlotListBeforeInitialize = f.C_GetSlotList(CK_FALSE, nullptr, &count);
  CK_INFO info{};
  loaded.getInfoBeforeInitialize = f.C_GetInfo(&info);
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  loaded.openSessionBeforeInitialize =
      f.C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
}

}  // namespace

bool LoadModule(std::string* error) {
  const char* configured = std::getenv("ZORAD_PKCS11_DLL");
  g_loaded.path = configured != nullptr && *configured != '\0'
                      ? std::string(configured)
                      : ExecutableFolder() + "\\zorad_pkcs11.dll";
  g_loaded.module = LoadLibraryA(g_loaded.path.c_str());
  if (g_loaded.module == nullptr) {
    *error = "LoadLibrary(" + g_loaded.path + ") failed, error " + std::to_string(GetLastError());
    return false;
  }
  auto getList = Resolve<CK_C_GetFunctionList>(g_loaded.module, "C_GetFunctionList");
  if (getList == nullptr || getList(&g_loaded.functions) != CKR_OK ||
      g_loaded.functions == nullptr) {
    *error = "C_GetFunctionList is missing or failed";
    return false;
  }
  // The module's own import, not a second copy: the one already loaded.
  g_loaded.winscard = GetModuleHandleA("winscard.dll");
  auto getControl = g_loaded.winscard == nullptr
                        ? nullptr
                        : Resolve<ZoradSimGetControlFn>(g_loaded.winscard, "ZoradSimGetControl");
  if (getControl == nullptr) {
    *error =
        "the module did not load the simulated winscard.dll "
        "(run with WINEDLLOVERRIDES=winscard=n and the DLL beside the executable)";
    return false;
  }
  g_loaded.sim = getControl();
  if (g_loaded.sim == nullptr || g_loaded.sim->version != ZORAD_SIM_CONTROL_VERSION ||
      g_loaded.sim->size != sizeof(ZoradSimControl)) {
    *error = "the simulated winscard.dll has another control table version";
    return false;
  }
  RecordAnswersBeforeInitialize(g_loaded);
  return true;
}

const LoadedModule& Loaded() { return g_loaded; }

bool UnloadModule() {
  if (g_loaded.module == nullptr) return true;
  const bool freed = FreeLibrary(g_loaded.module) != 0;
  g_loaded.module = nullptr;
  g_loaded.functions = nullptr;
  return freed;
}

}  // namespace zorad::wintest
