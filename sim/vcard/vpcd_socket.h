// The daemon's TCP link to vpcd: connecting as the card, and sending framed
// answers.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace zorad::vcard {

// A connected stream socket to host:port, or -1 with the reason in *error.
// Gives up after timeoutMs, or at once when wakeFd becomes readable (a
// signal arrived), so that a slow connect never delays a stop or a pull.
int ConnectToVpcd(const std::string& host, uint16_t port, int wakeFd, int timeoutMs,
                  std::string* error);

// Sends the payload with its length prefix; false when the connection is
// gone or the payload is too long for a frame.
bool SendFrame(int fd, std::span<const uint8_t> payload);

}  // namespace zorad::vcard
