#include "stack/replay.h"

#include "common/p11_client.h"
#include "common/report.h"

namespace zorad::bench {
namespace {

constexpr DWORD kAnyProtocol = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;

}  // namespace

Replayer::Replayer(std::string reader) : reader_(std::move(reader)) {
  if (Real().establishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context_) != SCARD_S_SUCCESS) {
    throw BenchError("the replay cannot reach pcscd");
  }
}

Replayer::~Replayer() {
  if (card_ != 0) Real().disconnect(card_, SCARD_LEAVE_CARD);
  Real().releaseContext(context_);
}

// A fresh connection, and a reset that another connection made (a logout
// powers the card down) absorbed before the timed part.
void Replayer::Connect() {
  if (Real().connect(context_, reader_.c_str(), SCARD_SHARE_SHARED, kAnyProtocol, &card_,
                     &protocol_) != SCARD_S_SUCCESS) {
    throw BenchError("the replay cannot connect to " + reader_);
  }
  LONG rv = Real().beginTransaction(card_);
  if (rv == SCARD_W_RESET_CARD) {
    Real().reconnect(card_, SCARD_SHARE_SHARED, kAnyProtocol, SCARD_LEAVE_CARD, &protocol_);
    rv = Real().beginTransaction(card_);
  }
  if (rv == SCARD_S_SUCCESS) Real().endTransaction(card_, SCARD_LEAVE_CARD);
}

void Replayer::Send(const PcscCall& call, ReplayResult& result) {
  switch (call.kind) {
    case PcscCall::Kind::kTransmit: {
      uint8_t answer[258 + 2];
      DWORD length = call.receiveCapacity < sizeof answer ? call.receiveCapacity : sizeof answer;
      const LONG rv =
          Real().transmit(card_, call.t0 ? Real().t0Pci : Real().t1Pci, call.command.data(),
                          static_cast<DWORD>(call.commandLength), nullptr, answer, &length);
      const uint16_t sw = rv == SCARD_S_SUCCESS && length >= 2
                              ? static_cast<uint16_t>(answer[length - 2] << 8 | answer[length - 1])
                              : 0;
      if (sw != call.statusWord) ++result.answersDiffering;
      volatile uint8_t* wipe = answer;
      for (size_t i = 0; i < sizeof answer; ++i) wipe[i] = 0;
      break;
    }
    case PcscCall::Kind::kBegin:
      Real().beginTransaction(card_);
      break;
    case PcscCall::Kind::kEnd:
      Real().endTransaction(card_, call.disposition);
      break;
    case PcscCall::Kind::kReconnect:
      Real().reconnect(card_, call.share, call.protocols, call.disposition, &protocol_);
      break;
    case PcscCall::Kind::kDisconnect:
      Real().disconnect(card_, call.disposition);
      card_ = 0;
      break;
    case PcscCall::Kind::kConnect:
      Real().connect(context_, reader_.c_str(), call.share, call.protocols, &card_, &protocol_);
      break;
    case PcscCall::Kind::kStatusChange: {
      SCARD_READERSTATE state{};
      state.szReader = reader_.c_str();
      state.dwCurrentState = call.currentState;
      Real().getStatusChange(context_, call.timeout, &state, 1);
      break;
    }
  }
}

ReplayResult Replayer::Run(const std::vector<PcscCall>& calls) {
  Connect();
  ReplayResult result;
  double inside = 0;
  const auto start = Clock::now();
  for (const PcscCall& call : calls) {
    const auto sent = Clock::now();
    Send(call, result);
    inside += SecondsSince(sent);
  }
  result.seconds = SecondsSince(start);
  result.outsidePcsc = result.seconds - inside;
  if (card_ != 0) Real().disconnect(card_, SCARD_LEAVE_CARD);
  card_ = 0;
  return result;
}

}  // namespace zorad::bench
