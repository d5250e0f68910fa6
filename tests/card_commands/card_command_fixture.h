// A connected reader holding a scripted card, for the card-command tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "card/apdu.h"
#include "reader/reader_fixture.h"

namespace zorad::test {

class CardCommandTest : public ReaderTest {
 protected:
  void SetUp() override {
    ReaderTest::SetUp();
    Connect(options_);
  }
  reader::Reader* rd() { return reader_.get(); }

  // The first five bytes of every command sent, as "00 B0 01 00 00".
  std::vector<std::string> Headers() const {
    std::vector<std::string> headers;
    for (const Bytes& command : card_->commands) {
      std::string header;
      for (size_t i = 0; i < 5 && i < command.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", command[i]);
        header += hex;
      }
      headers.push_back(header);
    }
    return headers;
  }
  // The data bytes of one command (after the fifth byte).
  Bytes DataOf(size_t index) const {
    const Bytes& command = card_->commands.at(index);
    return Bytes(command.begin() + 5, command.end());
  }

  sim::pcsc::ReaderOptions options_;
};


}  // namespace zorad::test
