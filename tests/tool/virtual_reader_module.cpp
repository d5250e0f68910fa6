// The module as the zorad-tool tests load it: the module's code linked with
// the PC/SC double, and a simulated card in the reader "Virtual Reader 0"
// put there when the library is loaded. The tool loads it with --module
// like any PKCS#11 module.
//
// Environment, read at load time:
//   ZORAD_TOOL_TEST_CARD   card image file: loaded when it exists (else a
//                          card with the default personalisation), saved
//                          when the library is unloaded, so the card keeps
//                          its state from one run of the tool to the next
//   ZORAD_TOOL_TEST_READER "none": no reader; "empty": a reader without card;
//                          any other text: the name of the reader
//   ZORAD_TOOL_TEST_USER_TRIES  tries left of the user PIN
//   ZORAD_TOOL_TEST_COMMANDS    file that receives, at unload, the header
//                               (CLA INS P1 P2) of every command the card got
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "sim/card/card_state.h"
#include "sim/card/simulated_card.h"
#include "sim/pcsc/pcsc_double.h"

namespace {

constexpr const char* kDefaultReaderName = "Virtual Reader 0";

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

class VirtualReader {
 public:
  VirtualReader() : image_(Environment("ZORAD_TOOL_TEST_CARD")) {
    const std::string reader = Environment("ZORAD_TOOL_TEST_READER");
    if (reader == "none") return;
    const std::string name = reader.empty() || reader == "empty" ? kDefaultReaderName : reader;
    zorad::sim::pcsc::AddReader(name);
    if (reader == "empty") return;
    std::error_code error;
    if (!image_.empty() && std::filesystem::exists(image_, error)) {
      std::string reason;
      card_ = zorad::sim::SimulatedCard::FromImage(image_, &reason);
    }
    if (!card_) card_ = std::make_shared<zorad::sim::SimulatedCard>();
    if (const std::string tries = Environment("ZORAD_TOOL_TEST_USER_TRIES"); !tries.empty()) {
      card_->SetPinTriesLeft(zorad::sim::kUserPinRef, static_cast<uint8_t>(std::stoi(tries)));
    }
    zorad::sim::pcsc::InsertCard(name, card_);
  }

  ~VirtualReader() {
    if (!card_) return;
    if (!image_.empty()) card_->SaveImage(image_);
    const std::string commands = Environment("ZORAD_TOOL_TEST_COMMANDS");
    if (commands.empty()) return;
    if (FILE* out = std::fopen(commands.c_str(), "w")) {
      for (const auto& command : card_->Commands()) {
        for (size_t i = 0; i < command.size() && i < 4; ++i) std::fprintf(out, "%02X ", command[i]);
        std::fprintf(out, "\n");
      }
      std::fclose(out);
    }
  }

 private:
  std::string image_;
  std::shared_ptr<zorad::sim::SimulatedCard> card_;
};

const VirtualReader virtualReader;

}  // namespace
