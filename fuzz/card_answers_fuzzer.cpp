// Fuzz target: every card answer. A card answers each command the module
// sends either as the simulator does or with bytes from the input, while a
// whole token life runs through the module's entry points. After each run
// no reader transaction may be left open or dropped.
//
// Input:
//   byte   scenario: 0x01 T=0, 0x02 create, change and destroy a data
//          object, 0x04 sign and verify, 0x08 generate a key pair, 0x10
//          random bytes, 0x20 PIN change, 0x40 slot events, 0x80 user PIN
//          set by the security officer and token initialisation
//   byte   trace mask (low 6 bits: categories and APDU level; 0 off)
//   then one control byte per command (the simulator answers once the
//   input ends):
//     00-7F   the simulator's answer
//     80-9F   an answer from the input (chunk), the simulator not asked
//     A0-BF   the simulator's answer with the status word from the input (u16)
//     C0-DF   the simulator's answer cut to (byte) bytes before its status word
//     E0-EF   the simulator's answer with extra data (chunk) before its status word
//     F0-FE   fewer than two bytes: nothing, or one byte (byte)
//     FF      the card leaves the reader during the command
#include <memory>

#include "sim/card/simulated_card.h"
#include "support/fuzz_input.h"
#include "support/module_rig.h"
#include "support/token_life.h"
#include "support/trace_capture.h"

namespace zorad::fuzz {
namespace {

class FuzzCard : public sim::CardDevice {
 public:
  FuzzCard(std::shared_ptr<sim::SimulatedCard> real, FuzzInput& in)
      : real_(std::move(real)), in_(in) {}

  std::vector<uint8_t> Atr() const override { return real_->Atr(); }
  void PowerOn() override { real_->PowerOn(); }
  void PowerOff() override { real_->PowerOff(); }
  void Reset() override { real_->Reset(); }

  sim::CardAnswer Transmit(std::span<const uint8_t> command) override {
    if (in_.empty()) return real_->Transmit(command);
    const uint8_t control = in_.Byte();
    if (control < 0x80) return real_->Transmit(command);
    if (control < 0xA0) {
      const auto bytes = in_.Chunk();
      return {std::vector<uint8_t>(bytes.begin(), bytes.end()), false};
    }
    if (control == 0xFF) return {{}, true};
    if (control >= 0xF0) {
      const uint8_t one = in_.Byte();
      return {control & 1 ? std::vector<uint8_t>{one} : std::vector<uint8_t>{}, false};
    }
    sim::CardAnswer answer = real_->Transmit(command);
    std::vector<uint8_t>& bytes = answer.bytes;
    if (bytes.size() < 2) return answer;
    const auto sw = bytes.end() - 2;
    if (control < 0xC0) {
      const uint16_t status = in_.U16();
      sw[0] = static_cast<uint8_t>(status >> 8);
      sw[1] = static_cast<uint8_t>(status);
    } else if (control < 0xE0) {
      const size_t keep = std::min<size_t>(in_.Byte(), bytes.size() - 2);
      bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(keep), sw);
    } else {
      const auto extra = in_.Chunk();
      bytes.insert(sw, extra.begin(), extra.end());
    }
    return answer;
  }

 private:
  std::shared_ptr<sim::SimulatedCard> real_;
  FuzzInput& in_;
};

}  // namespace
}  // namespace zorad::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zorad::fuzz::PreparedCardState();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zorad;
  using namespace zorad::fuzz;
  FuzzInput in(data, size);
  const uint8_t scenario = in.Byte();
  const TraceCapture trace(in.Byte() & kTraceMaskBits);
  sim::CardState state = PreparedCardState();
  state.settings.protocol = scenario & kLifeT0 ? sim::Protocol::kT0 : sim::Protocol::kT1;
  auto real = std::make_shared<sim::SimulatedCard>(std::move(state));
  ModuleRig rig(std::make_shared<FuzzCard>(real, in), scenario & kLifeT0);
  TokenLife(scenario);
  return 0;
}
