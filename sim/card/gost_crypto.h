// GOST R 34.10-2001 signatures and GOST R 34.11-94 hashing (CryptoPro
// parameters) through libgcrypt, for the simulated card and for tests that
// check the module's results outside the module.
//
// Byte conventions. Inside the card every number is big-endian:
//   - a private key is d, 32 bytes big-endian;
//   - a public key is X || Y, each coordinate 32 bytes big-endian (READ PUBLIC
//     KEY hands this out; the module reverses each half into the PKCS#11
//     CKA_VALUE, and reverses each half of an imported CKA_VALUE back);
//   - a signature is s || r, each 32 bytes big-endian; the module passes it
//     through unchanged, and it is also the PKCS#11 form;
//   - a hash is the GOST R 34.11-94 digest byte string as the hash function
//     emits it; GOST reads it as a little-endian number, so it is reversed
//     before it becomes the big-endian integer e of the signature equations.
// The PKCS#11 public key value is X || Y, each 32 bytes little-endian.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace zorad::sim {

using GostHash = std::array<uint8_t, 32>;
using GostSignature = std::array<uint8_t, 64>;
using GostPublicKey = std::array<uint8_t, 64>;
using GostPrivateKey = std::array<uint8_t, 32>;

// Card parameter-set codes (the gostParamSet byte of the token information):
// 1 CryptoPro-B, 2 CryptoPro-A, 3 CryptoPro-C, 4 the test set of the
// standard. Returns the libgcrypt curve name, or nullptr for another code.
const char* GostCurveForParamSet(uint8_t code);

GostHash GostR341194Hash(std::span<const uint8_t> data);

// Random bytes from libgcrypt's strong generator (GET CHALLENGE).
void FillRandom(std::span<uint8_t> out);

// Incremental GOST R 34.11-94 (CryptoPro), for chained PSO HASH.
class GostHashStream {
 public:
  GostHashStream();
  ~GostHashStream();
  GostHashStream(const GostHashStream&) = delete;
  GostHashStream& operator=(const GostHashStream&) = delete;

  void Update(std::span<const uint8_t> data);
  GostHash Finish();  // the stream starts over afterwards

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

struct GostKeyPair {
  GostPrivateKey privateKey;  // d, big-endian
  GostPublicKey publicKey;    // X || Y, big-endian
};

// All of these use the card's big-endian forms. An unknown curve, a key out
// of range or a point off the curve gives nullopt / false.
std::optional<GostKeyPair> GenerateGostKeyPair(const char* curve);
std::optional<GostPublicKey> DeriveGostPublicKey(const char* curve,
                                                 std::span<const uint8_t> privateKey);
bool IsGostPublicKeyValid(const char* curve, std::span<const uint8_t> publicKey);
std::optional<GostSignature> GostSign(const char* curve, std::span<const uint8_t> privateKey,
                                      std::span<const uint8_t> hash);
bool GostVerify(const char* curve, std::span<const uint8_t> publicKey,
                std::span<const uint8_t> hash, std::span<const uint8_t> signature);

// Checks a signature as a PKCS#11 application sees it: the public key is the
// CKA_VALUE (X || Y little-endian), the hash is the 32-byte digest given to
// CKM_GOSTR3410 (or computed for CKM_GOSTR3410_WITH_GOSTR3411), the
// signature is s || r big-endian.
bool VerifyPkcs11GostSignature(uint8_t paramSet, std::span<const uint8_t> publicKeyLe,
                               std::span<const uint8_t> hash,
                               std::span<const uint8_t> signature);

// Turns a card public key (big-endian halves) into the PKCS#11 CKA_VALUE and
// back: each 32-byte half reversed. Requires 64 bytes.
GostPublicKey SwapPublicKeyHalves(std::span<const uint8_t> publicKey);

}  // namespace zorad::sim
