// Mechanisms missing, unknown or meant for something else, keys that do
// not allow the use, and signature, digest and search operations given bad
// buffers, lengths or no operation at all.
#include <gtest/gtest.h>

#include <functional>

#include "bad_input/sweep_world.h"

namespace zorad::test {
namespace {

constexpr CK_ULONG kHuge = ~CK_ULONG{0} - 1;

class MechanismSweep : public SweepWorldTest {
 protected:
  CK_MECHANISM gost_{CKM_GOSTR3410, nullptr, 0};
  CK_MECHANISM gostHash_{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  CK_MECHANISM digest_{CKM_GOSTR3411, nullptr, 0};
  CK_MECHANISM keyPairGen_{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_MECHANISM rsa_{CKM_RSA_PKCS, nullptr, 0};
  CK_MECHANISM unknown_{~CK_MECHANISM_TYPE{0}, nullptr, 0};
  CK_BYTE data_[64] = {1, 2, 3};
  CK_BYTE signature_[64] = {};
  CK_BYTE longSignature_[65] = {};
  CK_ULONG length_ = 0;
  CK_OBJECT_HANDLE found_[4] = {};
  CK_BBOOL yes_ = CK_TRUE;
  CK_ATTRIBUTE token_{CKA_TOKEN, &yes_, 1};
};

TEST_F(MechanismSweep, InitialisationOfSigningAndKeyPairs) {
  auto& f = F();
  auto keyPair = [&](CK_MECHANISM* m, CK_ATTRIBUTE* pub, CK_ATTRIBUTE* priv, CK_OBJECT_HANDLE* a,
                     CK_OBJECT_HANDLE* b) {
    return [&f, this, m, pub, priv, a, b] {
      return f.C_GenerateKeyPair(rw_, m, pub, 1, priv, 1, a, b);
    };
  };
  CK_OBJECT_HANDLE* out = found_;
  std::vector<BadInput> rows = {
      {"C_SignInit mechanism NULL", [&] { return f.C_SignInit(rw_, nullptr, privateKey_); },
       CKR_ARGUMENTS_BAD},
      {"C_SignInit RSA", [&] { return f.C_SignInit(rw_, &rsa_, privateKey_); },
       CKR_MECHANISM_INVALID},
      {"C_SignInit key pair mechanism",
       [&] { return f.C_SignInit(rw_, &keyPairGen_, privateKey_); }, CKR_MECHANISM_INVALID},
      {"C_SignInit unknown mechanism", [&] { return f.C_SignInit(rw_, &unknown_, privateKey_); },
       CKR_MECHANISM_INVALID},
      {"C_SignInit public key", [&] { return f.C_SignInit(rw_, &gost_, publicKey_); },
       CKR_KEY_TYPE_INCONSISTENT},
      {"C_SignInit token data object", [&] { return f.C_SignInit(rw_, &gost_, tokenData_); },
       CKR_KEY_TYPE_INCONSISTENT},
      {"C_SignInit session data object", [&] { return f.C_SignInit(rw_, &gost_, sessionData_); },
       CKR_KEY_TYPE_INCONSISTENT},
      {"C_VerifyInit mechanism NULL", [&] { return f.C_VerifyInit(rw_, nullptr, publicKey_); },
       CKR_ARGUMENTS_BAD},
      {"C_VerifyInit RSA", [&] { return f.C_VerifyInit(rw_, &rsa_, publicKey_); },
       CKR_MECHANISM_INVALID},
      {"C_VerifyInit private key", [&] { return f.C_VerifyInit(rw_, &gost_, privateKey_); },
       CKR_KEY_TYPE_INCONSISTENT},
      {"C_GenerateKeyPair mechanism NULL", keyPair(nullptr, &token_, &token_, out, out + 1),
       CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair public template NULL",
       keyPair(&keyPairGen_, nullptr, &token_, out, out + 1), CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair private template NULL",
       keyPair(&keyPairGen_, &token_, nullptr, out, out + 1), CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair public handle NULL",
       keyPair(&keyPairGen_, &token_, &token_, nullptr, out + 1), CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair private handle NULL",
       keyPair(&keyPairGen_, &token_, &token_, out, nullptr), CKR_ARGUMENTS_BAD},
      {"C_GenerateKeyPair signing mechanism", keyPair(&gost_, &token_, &token_, out, out + 1),
       CKR_MECHANISM_INVALID},
      {"C_GenerateKeyPair RSA", keyPair(&rsa_, &token_, &token_, out, out + 1),
       CKR_MECHANISM_INVALID},
  };
  // A parameter the mechanisms do not take is not read.
  CK_MECHANISM withParameter{CKM_GOSTR3410, nullptr, 64};
  rows.push_back({"C_SignInit parameter NULL with a length",
                  [&] { return f.C_SignInit(rw_, &withParameter, privateKey_); }, kAnyCode});
  RunSweep("mechanisms and keys", rows);
}

// Each row starts the operation it needs, then makes the bad call.
TEST_F(MechanismSweep, SigningVerifyingAndSearching) {
  auto& f = F();
  // An operation a row before left active is finished first: one sign and
  // one verify operation at a time.
  auto signs = [&](auto call) {
    return [&f, this, call] {
      CK_RV init = f.C_SignInit(rw_, &gost_, privateKey_);
      if (init == CKR_OPERATION_ACTIVE) {
        CK_BYTE scratch[64];
        CK_ULONG length = sizeof scratch;
        f.C_Sign(rw_, data_, 32, scratch, &length);
        init = f.C_SignInit(rw_, &gost_, privateKey_);
      }
      return init != CKR_OK ? init : call();
    };
  };
  auto verifies = [&](auto call) {
    return [&f, this, call] {
      CK_RV init = f.C_VerifyInit(rw_, &gost_, publicKey_);
      if (init == CKR_OPERATION_ACTIVE) {
        f.C_Verify(rw_, data_, 32, signature_, 64);
        init = f.C_VerifyInit(rw_, &gost_, publicKey_);
      }
      return init != CKR_OK ? init : call();
    };
  };
  auto sign = [&](CK_BYTE* data, CK_ULONG dataLength, CK_ULONG capacity) {
    return [&, data, dataLength, capacity] {
      length_ = capacity;
      return f.C_Sign(rw_, data, dataLength, signature_, &length_);
    };
  };
  auto verify = [&](CK_BYTE* data, CK_ULONG dataLength, CK_BYTE* signature, CK_ULONG length) {
    return [&, data, dataLength, signature, length] {
      return f.C_Verify(rw_, data, dataLength, signature, length);
    };
  };
  std::vector<BadInput> rows = {
      {"C_Sign without an operation",
       [&] { return length_ = 64, f.C_Sign(publicRw_, data_, 32, signature_, &length_); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"C_Verify without an operation",
       [&] { return f.C_Verify(publicRw_, data_, 32, signature_, 64); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"C_Sign length pointer NULL",
       signs([&] { return f.C_Sign(rw_, data_, 32, signature_, nullptr); }), CKR_ARGUMENTS_BAD},
      {"C_Sign data NULL", signs(sign(nullptr, 32, 64)), CKR_ARGUMENTS_BAD},
      {"C_Sign data length 0", signs(sign(data_, 0, 64)), CKR_ARGUMENTS_BAD},
      {"C_Sign hash of 31 bytes", signs(sign(data_, 31, 64)), CKR_DATA_LEN_RANGE},
      {"C_Sign hash of huge length", signs(sign(data_, kHuge, 64)), CKR_DATA_LEN_RANGE},
      {"C_Sign buffer of 63 bytes", signs(sign(data_, 32, 63)), CKR_BUFFER_TOO_SMALL,
       [&] { EXPECT_EQ(64u, length_); }},
      {"C_Verify signature of 63 bytes", verifies(verify(data_, 32, signature_, 63)),
       CKR_SIGNATURE_LEN_RANGE},
      {"C_Verify signature of 65 bytes", verifies(verify(data_, 32, longSignature_, 65)),
       CKR_SIGNATURE_LEN_RANGE},
      {"C_Verify signature of huge length", verifies(verify(data_, 32, signature_, kHuge)),
       CKR_SIGNATURE_LEN_RANGE},
      {"C_Verify data NULL", verifies(verify(nullptr, 32, signature_, 64)), CKR_ARGUMENTS_BAD},
      {"C_Verify data length 0", verifies(verify(data_, 0, signature_, 64)), CKR_ARGUMENTS_BAD},
      {"C_Verify signature NULL", verifies(verify(data_, 32, nullptr, 64)), CKR_ARGUMENTS_BAD},
      {"C_Verify hash of huge length", verifies(verify(data_, kHuge, signature_, 64)),
       CKR_DATA_LEN_RANGE},
      // A forged signature is the card's to refuse, and no card fault.
      {"C_Verify signature of zeros", verifies(verify(data_, 32, signature_, 64)),
       CKR_SIGNATURE_INVALID},
      {"C_FindObjects without a search", [&] { return f.C_FindObjects(rw_, found_, 4, &length_); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"C_FindObjects array NULL", [&] { return f.C_FindObjects(rw_, nullptr, 4, &length_); },
       CKR_ARGUMENTS_BAD},
      {"C_FindObjects maximum 0", [&] { return f.C_FindObjects(rw_, found_, 0, &length_); },
       CKR_ARGUMENTS_BAD},
      {"C_FindObjects count NULL", [&] { return f.C_FindObjects(rw_, found_, 4, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_FindObjects after C_FindObjectsFinal",
       [&] {
         f.C_FindObjectsInit(rw_, nullptr, 0);
         f.C_FindObjectsFinal(rw_);
         return f.C_FindObjects(rw_, found_, 4, &length_);
       },
       CKR_OPERATION_NOT_INITIALIZED},
  };
  RunSweep("signing, verifying and searching", rows);
}

// The operations in parts and the digests; each row starts the operation
// it needs (ending a digest left over by the row before).
TEST_F(MechanismSweep, PartsAndDigests) {
  auto& f = F();
  auto inParts = [&](CK_MECHANISM* m, std::function<CK_RV()> call) {
    return [&f, this, m, call] {
      const CK_RV init = f.C_SignInit(rw_, m, privateKey_);
      return init != CKR_OK ? init : call();
    };
  };
  auto inVerifyingParts = [&](CK_MECHANISM* m, std::function<CK_RV()> call) {
    return [&f, this, m, call] {
      const CK_RV init = f.C_VerifyInit(rw_, m, publicKey_);
      return init != CKR_OK ? init : call();
    };
  };
  auto digests = [&](std::function<CK_RV()> call) {
    return [&f, this, call] {
      length_ = 64;
      f.C_DigestFinal(rw_, signature_, &length_);  // ends a digest left over
      const CK_RV init = f.C_DigestInit(rw_, &digest_);
      return init != CKR_OK ? init : call();
    };
  };
  std::vector<BadInput> rows = {
      {"C_SignUpdate without an operation", [&] { return f.C_SignUpdate(publicRw_, data_, 1); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"C_SignUpdate part NULL", [&] { return f.C_SignUpdate(rw_, nullptr, 1); },
       CKR_ARGUMENTS_BAD},
      {"C_SignUpdate of a given hash",
       inParts(&gost_, [&] { return f.C_SignUpdate(rw_, data_, 1); }), CKR_FUNCTION_NOT_SUPPORTED},
      {"C_SignUpdate huge length",
       inParts(&gostHash_, [&] { return f.C_SignUpdate(rw_, data_, kHuge); }), CKR_DATA_LEN_RANGE},
      {"C_SignFinal length NULL", [&] { return f.C_SignFinal(rw_, signature_, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_VerifyUpdate huge length",
       inVerifyingParts(&gostHash_, [&] { return f.C_VerifyUpdate(rw_, data_, kHuge); }),
       CKR_DATA_LEN_RANGE},
      {"C_VerifyFinal signature NULL", [&] { return f.C_VerifyFinal(rw_, nullptr, 64); },
       CKR_ARGUMENTS_BAD},
      {"C_VerifyFinal signature of huge length",
       inVerifyingParts(&gostHash_, [&] { return f.C_VerifyFinal(rw_, signature_, kHuge); }),
       CKR_SIGNATURE_LEN_RANGE},
      {"C_DigestInit mechanism NULL", [&] { return f.C_DigestInit(rw_, nullptr); },
       CKR_ARGUMENTS_BAD},
      {"C_DigestInit signing mechanism", [&] { return f.C_DigestInit(publicRw_, &gost_); },
       CKR_MECHANISM_INVALID},
      {"C_Digest without an operation",
       [&] { return length_ = 32, f.C_Digest(publicRw_, data_, 1, signature_, &length_); },
       CKR_OPERATION_NOT_INITIALIZED},
      {"C_Digest length pointer NULL",
       [&] { return f.C_Digest(rw_, data_, 1, signature_, nullptr); }, CKR_ARGUMENTS_BAD},
      {"C_Digest data NULL",
       digests([&] { return length_ = 32, f.C_Digest(rw_, nullptr, 1, signature_, &length_); }),
       CKR_ARGUMENTS_BAD},
      {"C_Digest data of huge length",
       digests([&] { return length_ = 32, f.C_Digest(rw_, data_, kHuge, signature_, &length_); }),
       CKR_DATA_LEN_RANGE},
      {"C_Digest buffer of 31 bytes",
       digests([&] { return length_ = 31, f.C_Digest(rw_, data_, 1, signature_, &length_); }),
       CKR_BUFFER_TOO_SMALL, [&] { EXPECT_EQ(32u, length_); }},
      {"C_DigestUpdate huge length", digests([&] { return f.C_DigestUpdate(rw_, data_, kHuge); }),
       CKR_DATA_LEN_RANGE},
      {"C_DigestFinal length NULL", [&] { return f.C_DigestFinal(rw_, signature_, nullptr); },
       CKR_ARGUMENTS_BAD},
  };
  RunSweep("operations in parts and digests", rows);
}

}  // namespace
}  // namespace zorad::test
