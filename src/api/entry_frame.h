// The frame shared by every implemented entry point: entry line, argument
// checks, library lock, body, unlock, exit line, and the firewall that keeps
// exceptions inside the module.
#pragma once

#include <cstdint>
#include <new>
#include <utility>

#include "api/library_lock.h"
#include "platform/cryptoki.h"
#include "reader/transaction.h"
#include "session/session_table.h"
#include "trace/trace.h"

namespace zorad::api {

enum class EntryPoint : uint8_t {
  kInitialize, kFinalize, kGetInfo, kGetFunctionList, kGetSlotList, kGetSlotInfo,
  kGetTokenInfo, kWaitForSlotEvent, kGetMechanismList, kGetMechanismInfo, kInitToken,
  kInitPIN, kSetPIN, kOpenSession, kCloseSession, kGetSessionInfo, kLogin, kLogout,
  kCreateObject, kDestroyObject, kGetAttributeValue, kSetAttributeValue,
  kFindObjectsInit, kFindObjects, kFindObjectsFinal, kSignInit, kSign, kVerifyInit,
  kVerify, kGenerateKeyPair, kGenerateRandom, kCloseAllSessions, kSeedRandom, kSignUpdate,
  kSignFinal, kVerifyUpdate, kVerifyFinal, kDigestInit, kDigest, kDigestUpdate, kDigestFinal,
};

struct EntryTraceFormat {
  // printf formats; entry formats take up to three unsigned arguments, exit
  // formats the result and a count.
  const char* entry;
  const char* exit;
};

const EntryTraceFormat& TraceFormatOf(EntryPoint point);

// Narrows a handle or identifier for the 32-bit trace fields.
inline unsigned TraceValue(unsigned long long value) {
  return static_cast<unsigned>(value);
}
inline unsigned TraceValue(const void* pointer) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}

// Runs a callable and turns any exception into a PKCS#11 result.
template <typename Body>
CK_RV Guarded(Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

class EntryFrame {
 public:
  EntryFrame(EntryPoint point, unsigned a = 0, unsigned b = 0, unsigned c = 0) noexcept;
  ~EntryFrame();
  EntryFrame(const EntryFrame&) = delete;
  EntryFrame& operator=(const EntryFrame&) = delete;

  // A result decided before the lock (argument checks).
  CK_RV Return(CK_RV rv) noexcept {
    rv_ = rv;
    return rv;
  }
  // A result returned at once, without the exit line.
  CK_RV ReturnWithoutExitLine(CK_RV rv) noexcept {
    writeExit_ = false;
    return Return(rv);
  }
  // The count some exit lines carry.
  void SetExitCount(unsigned long long count) noexcept {
    count_ = static_cast<unsigned>(count);
  }

  // Runs the body under the library lock. What happened to the cards
  // meanwhile reaches the sessions before the body looks at them, and what
  // the body itself learned (a removal, a reset) before the next call. The
  // body talks to each card in one PC/SC transaction.
  template <typename Body>
  CK_RV Locked(Body&& body) noexcept {
    const LibraryLock lock;
    if (!lock.ok()) return Return(lock.result());
    return Return(Guarded([&] {
      const reader::TransactionHold oneTransaction;
      session::FollowSlotChanges();
      const CK_RV rv = std::forward<Body>(body)();
      session::FollowSlotChanges();
      return rv;
    }));
  }

  // Runs a body that takes the lock itself (the slot-event wait).
  template <typename Body>
  CK_RV Unlocked(Body&& body) noexcept {
    return Return(Guarded(std::forward<Body>(body)));
  }

 private:
  const EntryTraceFormat& format_;
  CK_RV rv_ = CKR_GENERAL_ERROR;
  unsigned count_ = 0;
  bool writeExit_ = true;
};

}  // namespace zorad::api
