// Private objects without the user's login: no search finds them, a handle
// kept from before the logout reads, changes, destroys and signs nothing,
// also the handle of a private object whose CKA_PRIVATE an application
// tried to clear (refused: it is fixed at creation), and the card itself
// refuses its private area once the module logged out.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/token_fixture.h"

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kCryptoProA = {0x06, 0x07, 0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x01};

class PrivateVisibilityTest : public UserSessionTest {
 protected:
  // The status word the card answers to a read of its private area, asked
  // directly, outside the module.
  uint16_t PrivateAreaReadStatus() {
    const Bytes selectApp = {0x00, 0xA4, 0x04, 0x0C, 0x0C, 'Z', 'O', 'R', 'A',
                             'D',  '_',  'P',  'K',  'C',  'S', '1', '1'};
    const Bytes selectArea = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x01};
    const Bytes read = {0x00, 0xB0, 0x00, 0x40, 0x11};
    uint16_t sw = 0;
    for (const Bytes* command : {&selectApp, &selectArea, &read}) {
      const auto answer = card_->Transmit(*command).bytes;
      if (answer.size() < 2) return 0;
      sw = static_cast<uint16_t>(answer[answer.size() - 2] << 8 | answer.back());
    }
    return sw;
  }

  std::vector<std::string> Labels(CK_SESSION_HANDLE session) {
    std::vector<std::string> labels;
    for (CK_OBJECT_HANDLE h : FindAll(session)) labels.push_back(ReadText(session, h));
    std::sort(labels.begin(), labels.end());
    return labels;
  }
};

TEST_F(PrivateVisibilityTest, NothingPrivateWithoutTheUser) {
  const CK_OBJECT_HANDLE data = CreateData("private data", true, true);
  CreateData("public data", true, false);
  const CK_OBJECT_HANDLE cleared = CreateData("flag cleared", true, true);
  Template notPrivate;
  notPrivate.Bool(CKA_PRIVATE, false);
  ASSERT_CKR(CKR_ATTRIBUTE_READ_ONLY,
             C_SetAttributeValue(session_, cleared, notPrivate.data(), notPrivate.size()));
  Template pub, priv;
  pub.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_VERIFY, true);
  pub.Bytes(CKA_GOSTR3410_PARAMS, kCryptoProA).Text(CKA_LABEL, "key-pub");
  priv.Bool(CKA_TOKEN, true).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true).Text(CKA_LABEL, "key");
  CK_MECHANISM generate{CKM_GOSTR3410_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
  ASSERT_CKR(CKR_OK, C_GenerateKeyPair(session_, &generate, pub.data(), pub.size(), priv.data(),
                                       priv.size(), &pubKey, &privKey));
  const std::vector<std::string> all = Labels(session_);
  ASSERT_EQ(5u, all.size());
  EXPECT_EQ(0x9000, PrivateAreaReadStatus());

  // A logout and a new login: that object's handle now comes from a search.
  ASSERT_CKR(CKR_OK, C_Logout(session_));
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  Template byLabel;
  byLabel.Text(CKA_LABEL, "flag cleared");
  const auto found = FindAll(session_, byLabel);
  ASSERT_EQ(1u, found.size());
  ASSERT_CKR(CKR_OK, C_Logout(session_));

  const CK_SESSION_HANDLE other = Open(kReadOnly);
  for (CK_SESSION_HANDLE s : {session_, other}) {
    EXPECT_EQ((std::vector<std::string>{"public data"}), Labels(s));
    for (const char* label : {"private data", "flag cleared", "key", "key-pub"}) {
      Template search;
      search.Text(CKA_LABEL, label);
      EXPECT_TRUE(FindAll(s, search).empty()) << label;
    }
  }
  const CK_OBJECT_HANDLE kept[] = {data, found[0], pubKey, privKey};
  for (CK_OBJECT_HANDLE handle : kept) {
    SCOPED_TRACE(handle);
    Bytes value(64, 0xEE);
    CK_ATTRIBUTE read{CKA_LABEL, value.data(), static_cast<CK_ULONG>(value.size())};
    EXPECT_NE(CKR_OK, C_GetAttributeValue(session_, handle, &read, 1));
    EXPECT_EQ(Bytes(64, 0xEE), value) << "nothing handed out";
    Template change;
    change.Text(CKA_LABEL, "changed");
    EXPECT_NE(CKR_OK, C_SetAttributeValue(session_, handle, change.data(), change.size()));
    EXPECT_NE(CKR_OK, C_DestroyObject(session_, handle));
    CK_MECHANISM sign{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
    EXPECT_NE(CKR_OK, C_SignInit(session_, &sign, handle));
  }
  EXPECT_EQ(0x6982, PrivateAreaReadStatus()) << "the card still grants the private area";

  // Nothing was changed or lost by the refused calls.
  ASSERT_CKR(CKR_OK, Login(session_, CKU_USER, kUserPin));
  EXPECT_EQ(all, Labels(session_));
  EXPECT_CKR(CKR_OK, C_CloseSession(other));
}

}  // namespace
}  // namespace zorad::test
