// Keeps a card image file in step with the card, as a real card keeps its
// memory: after every command that changed the persistent state the whole
// image is written to a temporary file beside it, flushed to disk and
// renamed over the old one, so a crash or a kill leaves either the old or
// the new card, never half of one.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/card/card_state.h"

namespace zorad::vcard {

// Writes the bytes to path atomically (temporary file + fsync + rename);
// false with the reason in *error.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string* error);

class ImageStore {
 public:
  // An empty path keeps the card in memory only.
  explicit ImageStore(std::string path) : path_(std::move(path)) {}

  bool Enabled() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }

  // Records the state the file already holds (just loaded or just created),
  // so that only later changes are written.
  void MarkSaved(const sim::CardState& state);
  // Writes the image when the state differs from the last one written.
  // True when the file now holds the state (also when nothing changed).
  bool SaveIfChanged(const sim::CardState& state, std::string* error);

 private:
  std::string path_;
  std::vector<uint8_t> saved_;
};

}  // namespace zorad::vcard
