// Operations cut short at every card command: the card taken out of the
// reader at the n-th command, or its n-th write torn. When the card comes
// back the token must read again with unrelated objects intact, and the
// object concerned must be there whole or absent; a record rewritten in
// place may instead fail its checksum, but never reads wrong.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "store/attribute_access.h"
#include "store/object_create.h"
#include "store/object_delete.h"
#include "store_ops_fixture.h"
#include "support/ckr_names.h"

namespace zorad::test {
namespace {

struct Before {
  std::map<store::ObjectKey, std::string> unrelated;  // id -> label
  store::ObjectKey target;
  AttributeList targetAttributes;
};

enum class Outcome { kCreated, kChanged, kInPlace, kDeleted };

struct Scenario {
  const char* name;
  std::function<Before(StoreOpsTest&)> setup;
  std::function<CK_RV(StoreOpsTest&, const Before&)> operation;
  Outcome outcome;
  AttributeList result;  // the new object, or the target's new attributes
};

Before Unrelated(StoreOpsTest& t) {
  Before b;
  b.unrelated[t.Create(CertificateTemplate("private cert"))] = "private cert";
  b.unrelated[t.Create(DataTemplate("public", false))] = "public";
  return b;
}

Before WithTarget(StoreOpsTest& t) {
  Before b = Unrelated(t);  // private blocks 0-2
  b.target = t.Create(CertificateTemplate("target"));
  b.unrelated[t.Fill(kPrivate, 1)[0]] = "f0";
  b.targetAttributes = t.Read(b.target);
  return b;
}

// The target holds private blocks 3 and 7, blocks 4-6 are free, nothing is
// free after it: a longer label moves it to 4-6, away from its own blocks.
Before Interleaved(StoreOpsTest& t) {
  Before b = Unrelated(t);
  const store::ObjectKey gap = t.Fill(kPrivate, 1, "g")[0];
  const auto middle = t.Fill(kPrivate, 3, "m");
  EXPECT_CKR(CKR_OK, store::DeleteTokenObject(t.slot_, gap));
  b.target = t.Fill(kPrivate, 1, std::string(30, 't'))[0];
  for (const store::ObjectKey& id : t.Fill(kPrivate, 8, "u")) b.unrelated[id] = t.Label(id);
  for (const store::ObjectKey& m : middle) EXPECT_CKR(CKR_OK, store::DeleteTokenObject(t.slot_, m));
  b.targetAttributes = t.Read(b.target);
  return b;
}

Before KeyPair(StoreOpsTest& t) {
  Before b = Unrelated(t);
  b.target = t.GenerateKeyPair("k").first;
  b.targetAttributes = t.Read(b.target);
  return b;
}

CK_RV Relabel(StoreOpsTest& t, const Before& b, const std::string& label) {
  return store::SetTokenAttributeValues(t.slot_, b.target, {{CKA_LABEL, Text(label)}});
}
CK_RV Delete(StoreOpsTest& t, const Before& b) {
  return store::DeleteTokenObject(t.slot_, b.target);
}

std::vector<Scenario> Scenarios() {
  const AttributeList target = CertificateTemplate("target");
  return {
      {"create", Unrelated,
       [](StoreOpsTest& t, const Before&) {
         store::ObjectKey id;
         return store::CreateTokenObject(t.slot_, &id, CertificateTemplate("new"));
       },
       Outcome::kCreated, CertificateTemplate("new")},
      {"generate", Unrelated,
       [](StoreOpsTest& t, const Before&) {
         store::ObjectKey priv, pub;
         const AttributeList a = PrivateKeyTemplate("new"), b = PublicKeyTemplate("new");
         return store::CreateTokenObject(t.slot_, &priv, a, &pub, &b);
       },
       Outcome::kCreated, PrivateKeyTemplate("new")},
      {"in_place", WithTarget,
       [](StoreOpsTest& t, const Before& b) { return Relabel(t, b, "TARGET"); }, Outcome::kInPlace,
       With(target, CKA_LABEL, Text("TARGET"))},
      {"grow", WithTarget,
       [](StoreOpsTest& t, const Before& b) { return Relabel(t, b, std::string(100, 'T')); },
       Outcome::kInPlace, With(target, CKA_LABEL, Text(std::string(100, 'T')))},
      {"shrink", WithTarget,
       [](StoreOpsTest& t, const Before& b) {
         return store::SetTokenAttributeValues(t.slot_, b.target, {{CKA_VALUE, Bytes(4, 0x30)}});
       },
       Outcome::kInPlace, With(target, CKA_VALUE, Bytes(4, 0x30))},
      {"move", Interleaved,
       [](StoreOpsTest& t, const Before& b) { return Relabel(t, b, std::string(120, 'y')); },
       Outcome::kChanged,
       With(Without(DataTemplate("", true), CKA_VALUE), CKA_LABEL, Text(std::string(120, 'y')))},
      {"delete", WithTarget, Delete, Outcome::kDeleted, {}},
      {"delete_private_key", KeyPair, Delete, Outcome::kDeleted, {}},
  };
}

class CutTest : public StoreOpsTest {
 protected:
  void CheckCreated(const Scenario& s, const Before& before) {
    std::vector<store::ObjectKey> fresh;
    for (const card::Area area : {card::Area::kPublic, card::Area::kPrivate}) {
      for (const auto& entry : maps().ObjectsOf(area)) {
        const store::ObjectKey key{area, entry.first};
        if (!before.unrelated.count(key)) fresh.push_back(key);
      }
    }
    ASSERT_LE(fresh.size(), s.result.count(CKA_SIGN) ? 2u : 1u);
    for (const store::ObjectKey& id : fresh) {
      const AttributeList read = Read(id);
      if (read.count(CKA_VERIFY)) {
        EXPECT_EQ(64u, read.at(CKA_VALUE).size());
        EXPECT_EQ(PublicKeyTemplate("new"), Without(read, CKA_VALUE));
      } else {
        EXPECT_EQ(s.result, read);
      }
    }
  }

  void Check(const Scenario& s, const Before& before) {
    for (const auto& [id, label] : before.unrelated) EXPECT_EQ(label, Label(id));
    if (s.outcome == Outcome::kCreated) return CheckCreated(s, before);
    AttributeList read;
    const CK_RV rv = store::GetTokenAttributeValues(slot_, before.target, read);
    if (s.outcome == Outcome::kDeleted && !Object(before.target)) return;
    if (s.outcome == Outcome::kInPlace && rv == CKR_DEVICE_ERROR) return;  // checksum fails
    ASSERT_CKR(CKR_OK, rv);
    EXPECT_TRUE(read == before.targetAttributes || (read == s.result && !s.result.empty()));
  }

  // Runs the scenario cut at its n-th command (or write), for every n.
  void Sweep(const Scenario& s, bool tear) {
    for (uint32_t n = 1; n < 64; ++n) {
      SCOPED_TRACE(std::string(s.name) + (tear ? " torn write " : " removed at ") +
                   std::to_string(n));
      TearDown();
      SetUp();
      const Before before = s.setup(*this);
      if (tear) {
        card_->TearWriteAt(n, 10);  // a header's checksum and a little more
      } else {
        card_->RemoveAt(n);
      }
      const CK_RV rv = s.operation(*this, before);
      const bool cut = !card_->IsPresent();
      const Bytes last = card_->Log().back().command;
      const bool tableTorn =
          tear && cut && last[1] == kUpdate && last[2] == 0x04 && last[3] == 0x80;
      const CK_RV reread = Reinsert();
      if (reread == CKR_OK || !tableTorn) {
        ASSERT_CKR(CKR_OK, reread);
        Check(s, before);
      } else {
        // The table is one checksummed structure sent in one command: a
        // torn table write is detected, it cannot be survived.
        EXPECT_CKR(CKR_DEVICE_ERROR, reread);
      }
      if (!cut) {
        EXPECT_CKR(CKR_OK, rv);
        return;
      }
    }
  }
};

class CutSweepTest : public CutTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(CutSweepTest, CardRemovedAtEveryCommand) { Sweep(Scenarios()[GetParam()], false); }

INSTANTIATE_TEST_SUITE_P(Operations, CutSweepTest, ::testing::Range<size_t>(0, 8),
                         [](const auto& info) { return Scenarios()[info.param].name; });

// Torn writes are survivable where the torn blocks are not (yet, or any
// longer) listed in the table: a new or moved object's record, and the
// erasure of freed blocks.
TEST_F(CutTest, TornWritesOfUnlistedBlocks) {
  for (size_t i : {0u, 1u, 5u, 6u}) Sweep(Scenarios()[i], true);
}

}  // namespace
}  // namespace zorad::test
