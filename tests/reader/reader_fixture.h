// Shared by the reader and card-command tests: a card with scripted answers
// in one simulated reader, a connected Reader, and a trace file to read back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "reader/reader.h"
#include "sim/card/card_device.h"
#include "sim/pcsc/pcsc_double.h"

namespace zorad::test {

using Bytes = std::vector<uint8_t>;

// Answers queued byte strings (9000 once the queue is empty) and logs every
// command it receives.
class ScriptedCard : public sim::CardDevice {
 public:
  std::vector<uint8_t> Atr() const override { return atr; }
  void PowerOn() override {}
  void PowerOff() override { ++powerOffs; }
  void Reset() override { ++resets; }
  sim::CardAnswer Transmit(std::span<const uint8_t> command) override;

  void Answer(Bytes bytes, bool removed = false) { answers.push_back({std::move(bytes), removed}); }

  Bytes atr = {0x3B, 0x8A, 0x80, 0x01, 0x5A, 0x4F, 0x52};
  std::deque<sim::CardAnswer> answers;
  std::vector<Bytes> commands;
  int powerOffs = 0;
  int resets = 0;
};

// Parses blank-separated hexadecimal bytes: "00 B0 01 00".
Bytes Hex(const std::string& text);
// `data` followed by SW1 SW2.
Bytes WithSw(Bytes data, uint16_t sw);
// Bytes counting up from `first`.
Bytes Pattern(size_t length, uint8_t first = 0);

class ReaderTest : public ::testing::Test {
 protected:
  static constexpr const char* kReaderName = "Zorad Test Reader 0";

  void SetUp() override;
  void TearDown() override;

  // Adds the reader (with a scripted card unless `withCard` is false).
  void AddReader(const sim::pcsc::ReaderOptions& options = {}, bool withCard = true);
  // AddReader, then OpenReader; fails the test when it cannot connect.
  void Connect(const sim::pcsc::ReaderOptions& options = {});

  std::shared_ptr<ScriptedCard> card_ = std::make_shared<ScriptedCard>();
  std::unique_ptr<reader::Reader> reader_;
};

// A trace file in a private temporary directory, open while this lives.
class TraceCapture {
 public:
  explicit TraceCapture(uint32_t mask);
  ~TraceCapture();
  // The messages written so far, without their "<tick> [<thread>] " prefix.
  std::vector<std::string> Lines();
  std::string Text();

 private:
  std::filesystem::path dir_;
};

}  // namespace zorad::test
