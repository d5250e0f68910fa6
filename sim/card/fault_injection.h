// Fault plans for the simulated card: a forced status word for the Nth
// command or for every command of a class, a removal at the Nth command, and
// a torn UPDATE BINARY. Counts are 1-based and start when the fault is armed;
// each numbered fault fires once. Commands sent while the card is out of the
// reader are not counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace zorad::sim {

// Matches commands by CLA and/or INS; an empty field matches anything.
struct CommandPattern {
  std::optional<uint8_t> cla;
  std::optional<uint8_t> ins;

  bool Matches(std::span<const uint8_t> command) const;
};

// What a torn write does after its first bytes reached the file.
enum class TearEnd {
  kCardRemoved,    // the card left the reader in the middle of the write
  kMemoryFailure,  // the card stays and answers 6581
};

struct FaultDecision {
  enum class Kind { kNone, kAnswer, kRemove, kTear };
  Kind kind = Kind::kNone;
  uint16_t sw = 0;         // kAnswer
  size_t bytesKept = 0;    // kTear
  TearEnd tearEnd = TearEnd::kCardRemoved;
};

class FaultInjector {
 public:
  // The Nth command from now is answered with `sw` and not executed.
  void AnswerAt(uint32_t n, uint16_t sw);
  // Every matching command is answered with `sw` and not executed, until
  // Clear().
  void AnswerMatching(CommandPattern pattern, uint16_t sw);
  // The card leaves the reader while processing the Nth command from now.
  void RemoveAt(uint32_t n);
  // The Nth UPDATE BINARY from now writes only its first `bytesKept` bytes.
  void TearWriteAt(uint32_t n, size_t bytesKept, TearEnd end);
  void Clear();

  // Advances the counts for one command and says what happens to it.
  // Precedence: removal, numbered answer, class answer, torn write.
  FaultDecision OnCommand(std::span<const uint8_t> command);

 private:
  struct NumberedAnswer {
    uint32_t left;
    uint16_t sw;
  };
  struct PatternAnswer {
    CommandPattern pattern;
    uint16_t sw;
  };
  struct Tear {
    uint32_t writesLeft;
    size_t kept;
    TearEnd end;
  };

  std::vector<NumberedAnswer> answers_;
  std::vector<PatternAnswer> patterns_;
  std::vector<uint32_t> removals_;
  std::vector<Tear> tears_;
};

}  // namespace zorad::sim
