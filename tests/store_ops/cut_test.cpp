// Operations cut short at every card command: the card taken out of the
// reader at the n-th command, or its n-th write torn. After the card comes
// back the token must read again, unrelated objects must be intact, and the
// object concerned must be there whole or absent (a record rewritten in
// place may instead fail its checksum, never read wrong).
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

constexpr uint16_t kTableOffset = 1024 + 128;

// What the card holds before the operation.
struct Before {
  std::map<uint32_t, std::string> unrelated;  // id -> label
  uint32_t target = 0;                        // object changed or deleted
  AttributeList targetAttributes;             // as read before
};

enum class Outcome {
  kCreated,   // a new object with the template's attributes, or nothing new
  kChanged,   // the target with its old or its new attributes
  kInPlace,   // as kChanged, or the target failing its checksum
  kDeleted,   // the target with its old attributes, or gone
};

struct Scenario {
  const char* name;
  std::function<Before(StoreOpsTest&)> setup;
  std::function<CK_RV(StoreOpsTest&, const Before&)> operation;
  Outcome outcome;
  AttributeList result;  // the new object's, or the target's new attributes
};

class CutTest : public StoreOpsTest {
 protected:
  struct Cut {
    bool tear;  // a torn write instead of a removal
    uint32_t n;
  };

  void Arm(const Cut& cut) {
    if (cut.tear) {
      card_->TearWriteAt(cut.n, 10);  // the checksum and a few bytes
    } else {
      card_->RemoveAt(cut.n);
    }
  }

  bool TableWriteTorn() const {
    const auto log = card_->Log();
    if (log.empty()) return false;
    const Bytes& last = log.back().command;
    return last.size() > 5 && last[1] == ins::kUpdate &&
           ((last[2] << 8) | last[3]) == kTableOffset;
  }

  // Every object id of both areas.
  std::map<uint32_t, bool> AllObjects() {
    std::map<uint32_t, bool> ids;
    for (const auto& entry : cache().publicObjects) ids[entry.first] = false;
    for (const auto& entry : cache().privateObjects) ids[entry.first] = true;
    return ids;
  }

  void CheckAfter(const Scenario& s, const Before& before, size_t objectsBefore) {
    for (const auto& [id, label] : before.unrelated) EXPECT_EQ(label, Label(id)) << id;
    const auto objects = AllObjects();
    switch (s.outcome) {
      case Outcome::kCreated: {
        ASSERT_LE(objects.size(), objectsBefore + (s.result.count(CKA_SIGN) ? 2 : 1));
        for (const auto& [id, isPrivate] : objects) {
          if (before.unrelated.count(id)) continue;
          const AttributeList read = Read(id);
          const bool isPublicKey = read.count(CKA_VERIFY) != 0;
          AttributeList expected = s.result;
          if (isPublicKey) {
            expected = PublicKeyTemplate("new");
            EXPECT_EQ(64u, read.count(CKA_VALUE) ? read.at(CKA_VALUE).size() : 0);
            AttributeList withoutValue = read;
            withoutValue.erase(CKA_VALUE);
            EXPECT_EQ(expected, withoutValue);
          } else {
            EXPECT_EQ(expected, read);
          }
        }
        break;
      }
      case Outcome::kChanged:
      case Outcome::kInPlace: {
        AttributeList read;
        const CK_RV rv = store::GetTokenAttributeValues(slot_, before.target, read);
        if (rv != CKR_OK && s.outcome == Outcome::kInPlace) {
          EXPECT_CKR(CKR_DEVICE_ERROR, rv);
          break;
        }
        ASSERT_CKR(CKR_OK, rv);
        EXPECT_TRUE(read == before.targetAttributes || read == s.result);
        break;
      }
      case Outcome::kDeleted:
        if (objects.count(before.target)) {
          EXPECT_EQ(before.targetAttributes, Read(before.target));
        }
        break;
    }
  }

  // Runs the scenario once per command (or write) it sends, cut there.
  void Sweep(const Scenario& s, bool tear) {
    for (uint32_t n = 1; n < 64; ++n) {
      SCOPED_TRACE(std::string(s.name) + (tear ? ", write torn: " : ", removed at: ") +
                   std::to_string(n));
      Start(Personalisation());
      const Before before = s.setup(*this);
      const size_t objectsBefore = AllObjects().size();
      Arm({tear, n});
      const CK_RV rv = s.operation(*this, before);
      const bool cut = !card_->IsPresent();
      const bool tableTorn = tear && cut && TableWriteTorn();
      const CK_RV reread = Reinsert(true);
      if (reread != CKR_OK && tableTorn) {
        // The table is one checksummed structure written by one command:
        // a torn table write is detected, not survivable.
        EXPECT_CKR(CKR_DEVICE_ERROR, reread);
      } else {
        ASSERT_CKR(CKR_OK, reread);
        CheckAfter(s, before, objectsBefore);
      }
      if (!cut) {
        EXPECT_CKR(CKR_OK, rv);
        break;
      }
      EXPECT_NE(CKR_OK, rv);
    }
  }
};

Before Unrelated(StoreOpsTest& t) {
  Before b;
  AttributeList pub = CertificateTemplate("public cert", false);
  b.unrelated[t.Create(pub)] = "public cert";
  b.unrelated[t.Create(DataTemplate("p", true))] = "p";
  return b;
}

Before WithTarget(StoreOpsTest& t, const AttributeList& target) {
  Before b = Unrelated(t);
  b.target = t.Create(target);
  b.unrelated[t.Create(DataTemplate("q", true))] = "q";
  b.targetAttributes = t.Read(b.target);
  return b;
}

// The target holds blocks 1 and 5 of the private area, with blocks 2-4
// free and nothing free after it: a longer label moves it to 2-4, away from
// its own blocks.
Before InterleavedTarget(StoreOpsTest& t) {
  Before b = Unrelated(t);  // private block 0
  const auto gap = t.Fill(kPrivate, 1, "g");
  const auto middle = t.Fill(kPrivate, 3, "m");
  EXPECT_CKR(CKR_OK, store::DeleteTokenObject(t.slot_, gap[0]));
  AttributeList target = DataTemplate(std::string(30, 't'), true);
  target.erase(CKA_VALUE);
  b.target = t.Create(target);
  for (uint32_t id : t.Fill(kPrivate, 10)) b.unrelated[id] = "";
  for (uint32_t m : middle) EXPECT_CKR(CKR_OK, store::DeleteTokenObject(t.slot_, m));
  for (auto& [id, label] : b.unrelated) {
    if (label.empty()) label = t.Label(id);
  }
  b.targetAttributes = t.Read(b.target);
  return b;
}

AttributeList Relabelled(const AttributeList& a, const std::string& label) {
  AttributeList out = a;
  out[CKA_LABEL] = Text(label);
  return out;
}

std::vector<Scenario> Scenarios() {
  const AttributeList cert = CertificateTemplate("new", true);
  const AttributeList target = CertificateTemplate("target", true);
  AttributeList interleaved = DataTemplate(std::string(30, 't'), true);
  interleaved.erase(CKA_VALUE);
  auto relabel = [](std::string label) {
    return [label](StoreOpsTest& t, const Before& b) {
      return store::SetTokenAttributeValues(t.slot_, b.target, {{CKA_LABEL, Text(label)}});
    };
  };
  auto shrink = [](StoreOpsTest& t, const Before& b) {
    return store::SetTokenAttributeValues(t.slot_, b.target, {{CKA_VALUE, Bytes(4, 0x30)}});
  };
  AttributeList shrunk = target;
  shrunk[CKA_VALUE] = Bytes(4, 0x30);
  AttributeList generated = PrivateKeyTemplate("new");
  return {
      {"create certificate", Unrelated,
       [cert](StoreOpsTest& t, const Before&) {
         uint32_t id = 0;
         return store::CreateTokenObject(t.slot_, &id, cert);
       },
       Outcome::kCreated, cert},
      {"generate key pair", Unrelated,
       [](StoreOpsTest& t, const Before&) {
         uint32_t priv = 0, pub = 0;
         const AttributeList privateKey = PrivateKeyTemplate("new");
         const AttributeList publicKey = PublicKeyTemplate("new");
         return store::CreateTokenObject(t.slot_, &priv, privateKey, &pub, &publicKey);
       },
       Outcome::kCreated, generated},
      {"relabel in place", [target](StoreOpsTest& t) { return WithTarget(t, target); },
       relabel("TARGET"), Outcome::kInPlace, Relabelled(target, "TARGET")},
      {"grow", [target](StoreOpsTest& t) { return WithTarget(t, target); },
       relabel(std::string(100, 'T')), Outcome::kInPlace,
       Relabelled(target, std::string(100, 'T'))},
      {"shrink", [target](StoreOpsTest& t) { return WithTarget(t, target); }, shrink,
       Outcome::kInPlace, shrunk},
      {"move", InterleavedTarget, relabel(std::string(120, 'y')), Outcome::kChanged,
       Relabelled(interleaved, std::string(120, 'y'))},
      {"delete certificate", [target](StoreOpsTest& t) { return WithTarget(t, target); },
       [](StoreOpsTest& t, const Before& b) { return store::DeleteTokenObject(t.slot_, b.target); },
       Outcome::kDeleted, {}},
      {"delete private key",
       [](StoreOpsTest& t) {
         Before b = Unrelated(t);
         uint32_t priv = 0, pub = 0;
         const AttributeList privateKey = PrivateKeyTemplate("k");
         const AttributeList publicKey = PublicKeyTemplate("k");
         EXPECT_CKR(CKR_OK, store::CreateTokenObject(t.slot_, &priv, privateKey, &pub, &publicKey));
         b.target = priv;
         b.targetAttributes = t.Read(priv);
         return b;
       },
       [](StoreOpsTest& t, const Before& b) { return store::DeleteTokenObject(t.slot_, b.target); },
       Outcome::kDeleted, {}},
  };
}

class CutSweepTest : public CutTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(CutSweepTest, CardRemovedAtEveryCommand) { Sweep(Scenarios()[GetParam()], false); }

INSTANTIATE_TEST_SUITE_P(Operations, CutSweepTest, ::testing::Range<size_t>(0, 8),
                         [](const auto& info) {
                           std::string name = Scenarios()[info.param].name;
                           for (char& c : name) {
                             if (c == ' ') c = '_';
                           }
                           return name;
                         });

// Torn writes: survivable wherever the torn blocks are not yet (or no
// longer) listed in the table: the records of a new or moved object, and
// the erasure of freed blocks.
TEST_F(CutTest, TornWritesOfUnlistedBlocks) {
  for (size_t i : {0u, 1u, 5u, 6u}) Sweep(Scenarios()[i], true);
}

}  // namespace
}  // namespace zorad::test
