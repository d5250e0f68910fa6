// The same card conversation without the module: the captured PC/SC calls
// sent again, as they were, on a connection of the benchmark's own.
#pragma once

#include <winscard.h>

#include <string>
#include <vector>

#include "stack/pcsc_capture.h"

namespace zorad::bench {

struct ReplayResult {
  double seconds = 0;
  double outsidePcsc = 0;       // the part of it spent outside the PC/SC calls
  size_t answersDiffering = 0;  // status words other than the module received
};

class Replayer {
 public:
  explicit Replayer(std::string reader);
  ~Replayer();
  Replayer(const Replayer&) = delete;
  Replayer& operator=(const Replayer&) = delete;

  // Connects and settles a card reset left by an earlier operation (not
  // timed), sends the calls (timed), disconnects leaving the card as it is.
  ReplayResult Run(const std::vector<PcscCall>& calls);

 private:
  void Connect();
  void Send(const PcscCall& call, ReplayResult& result);

  std::string reader_;
  SCARDCONTEXT context_ = 0;
  SCARDHANDLE card_ = 0;
  DWORD protocol_ = 0;
};

}  // namespace zorad::bench
