// Control interface of the PC/SC double, for tests.
//
// The double is one process-wide simulated PC/SC service: readers that come
// and go, cards inserted and removed, a service that can stop and return.
// Tests shape that world through these functions while the code under test
// talks to it through the ordinary SCard* calls. Every function is
// thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/card/card_device.h"
#include "sim/pcsc/pcsc_types.h"

namespace zorad::sim::pcsc {

// The PC/SC calls the double serves; used for fault injection, counters and
// the call log.
enum class Call {
  kEstablishContext,
  kReleaseContext,
  kIsValidContext,
  kCancel,
  kListReaders,
  kGetStatusChange,
  kConnect,
  kReconnect,
  kDisconnect,
  kBeginTransaction,
  kEndTransaction,
  kTransmit,
  kGetAttrib,
  kStatus,
  kFreeMemory,
  kCount
};

// "SCardTransmit" for Call::kTransmit.
const char* CallName(Call call);

struct LoggedCall {
  Call call;
  Code result;
  std::string reader;  // reader concerned, empty when none
};

// Back to an empty world: no readers, no contexts, service running, no
// faults, counters and log cleared. Call from every test's SetUp.
void Reset();

// Readers. A reader name must be unique and non-empty; AddReader returns
// false otherwise. Removing a reader drops its card.
bool AddReader(std::string_view name, const ReaderOptions& options = {});
bool RemoveReader(std::string_view name);
bool SetReaderOptions(std::string_view name, const ReaderOptions& options);

// Cards. Each insertion and removal counts as one reader event. InsertCard
// fails when the reader is unknown or already holds a card.
bool InsertCard(std::string_view reader, std::shared_ptr<CardDevice> card);
bool RemoveCard(std::string_view reader);
// Another application resets the card: the card is reset and every handle
// connected to it answers SCARD_W_RESET_CARD until it reconnects.
bool ResetByOtherApplication(std::string_view reader);
uint32_t ReaderEventCount(std::string_view reader);

// Service. While stopped every call answers SCARD_E_NO_SERVICE; contexts
// and card handles from before the stop keep answering so after the restart.
void StopService();
void StartService();
bool ServiceRunning();

// Fault injection: after `skip` further calls of `call` have run normally,
// the next `count` calls return `code` without any other effect.
void FailNext(Call call, Code code, unsigned count = 1, unsigned skip = 0);
void ClearFaults();

// While another handle holds a transaction on the card,
// SCardBeginTransaction answers SCARD_E_SHARING_VIOLATION at once, so that
// a single-threaded test cannot hang. With `wait` set it waits until that
// transaction ends (or the card, the reader or the service goes), as the
// real service does; SCardCancel does not end that wait either.
void WaitForOtherTransactions(bool wait);

// Counters and log.
size_t CallCount(Call call);
std::vector<LoggedCall> CallLog();

// Transactions: the sum of the open transaction depths of all live handles,
// and the transactions that were never ended (still open, or dropped by a
// disconnect or context release without SCardEndTransaction).
size_t OpenTransactions();
size_t LeakedTransactions();

// Threads currently blocked in SCardGetStatusChange, and a wait until at
// least `count` of them are (false on time-out).
size_t Waiters();
bool WaitForWaiters(size_t count, std::chrono::milliseconds timeout);

// Connections currently open (live or stale, not yet disconnected).
size_t OpenConnections();

}  // namespace zorad::sim::pcsc
