// A small PKCS#11 application used by the benchmarks: the calls a typical
// client makes, through any module's function list, with every failure
// turned into an exception that names the call and its result.
#pragma once

#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/cryptoki.h"

namespace zorad::bench {

class BenchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws BenchError "what: CKR 0x..." unless rv is CKR_OK.
void Check(CK_RV rv, const std::string& what);

// A CK_ATTRIBUTE template that owns its values.
class Attributes {
 public:
  Attributes& Bool(CK_ATTRIBUTE_TYPE type, bool value);
  Attributes& Ulong(CK_ATTRIBUTE_TYPE type, CK_ULONG value);
  Attributes& Text(CK_ATTRIBUTE_TYPE type, const std::string& text);
  Attributes& Bytes(CK_ATTRIBUTE_TYPE type, std::vector<uint8_t> value);

  CK_ATTRIBUTE* data() { return attributes_.empty() ? nullptr : attributes_.data(); }
  CK_ULONG size() const { return static_cast<CK_ULONG>(attributes_.size()); }

 private:
  std::deque<std::vector<uint8_t>> values_;
  std::vector<CK_ATTRIBUTE> attributes_;
};

struct KeyPair {
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
};

inline constexpr const char* kUserPin = "12345678";

class Client {
 public:
  explicit Client(CK_FUNCTION_LIST* functions) : f_(*functions) {}

  CK_FUNCTION_LIST& functions() { return f_; }

  void Initialize();
  void Finalize();
  CK_SLOT_ID FirstSlotWithToken();
  CK_SESSION_HANDLE Open(CK_SLOT_ID slot);
  void Close(CK_SESSION_HANDLE session);
  void Login(CK_SESSION_HANDLE session, const std::string& pin = kUserPin);
  void Logout(CK_SESSION_HANDLE session);
  CK_TOKEN_INFO TokenInfo(CK_SLOT_ID slot);
  void SessionInfo(CK_SESSION_HANDLE session);

  // Every object the template matches, fetched `page` handles per call.
  std::vector<CK_OBJECT_HANDLE> Find(CK_SESSION_HANDLE session, Attributes& search,
                                     CK_ULONG page = 64);
  std::vector<CK_OBJECT_HANDLE> FindAll(CK_SESSION_HANDLE session);

  // A data object (CKO_DATA) with a label and, when not empty, a value.
  CK_OBJECT_HANDLE CreateData(CK_SESSION_HANDLE session, const std::string& label, bool token,
                              bool isPrivate = false, const std::vector<uint8_t>& value = {});
  std::string ReadLabel(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);
  void SetLabel(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, const std::string& label);
  void Destroy(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object);

  // A GOST R 34.10-2001 key pair generated on the card, both keys private
  // token objects.
  KeyPair GenerateKeyPair(CK_SESSION_HANDLE session, const std::string& label);
  std::vector<uint8_t> Sign(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                            CK_MECHANISM_TYPE mechanism, const std::vector<uint8_t>& data);
  void Verify(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanism,
              const std::vector<uint8_t>& data, const std::vector<uint8_t>& signature);
  std::vector<uint8_t> Random(CK_SESSION_HANDLE session, size_t length);

 private:
  CK_FUNCTION_LIST& f_;
};

// DER of the GOST R 34.10-2001 CryptoPro-A parameter set, the simulated
// card's own.
std::vector<uint8_t> GostParamSetA();

}  // namespace zorad::bench
