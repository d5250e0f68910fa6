#include "sim/vcard/vpcd_frame.h"

namespace zorad::vcard {

std::optional<std::vector<uint8_t>> EncodeFrame(std::span<const uint8_t> payload) {
  if (payload.size() > kMaxFramePayload) return std::nullopt;
  std::vector<uint8_t> frame;
  frame.reserve(payload.size() + 2);
  frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
  frame.push_back(static_cast<uint8_t>(payload.size()));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

void FrameDecoder::Feed(std::span<const uint8_t> bytes) {
  // Drop what Next() already handed out before the buffer grows, so a long
  // stream of small messages never accumulates.
  if (consumed_ != 0) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

std::optional<std::vector<uint8_t>> FrameDecoder::Next() {
  const size_t available = pending_.size() - consumed_;
  if (available < 2) return std::nullopt;
  const uint8_t* head = pending_.data() + consumed_;
  const size_t length = (static_cast<size_t>(head[0]) << 8) | head[1];
  if (available - 2 < length) return std::nullopt;
  std::vector<uint8_t> message(head + 2, head + 2 + length);
  consumed_ += 2 + length;
  if (consumed_ == pending_.size()) {
    pending_.clear();
    consumed_ = 0;
  }
  return message;
}

}  // namespace zorad::vcard
