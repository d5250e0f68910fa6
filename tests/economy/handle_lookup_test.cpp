// A search turns every token object it meets into a handle. Finding the
// existing handle must not walk the object table: an application may hold
// thousands of session objects, and the walk per token object made every
// search of the token quadratic in effect.
#include <gtest/gtest.h>
#include <time.h>

#include <algorithm>

#include "session/object_table.h"

namespace zorad::test {
namespace {

constexpr uint32_t kSlot = 4242;
constexpr uint32_t kOwner = 0xFFFF0001;  // a session handle no test opens

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The least CPU time of five rounds of 2,000 lookups of one card id.
double LookupSeconds(const store::ObjectKey& cardId) {
  double best = 1e9;
  for (int round = 0; round < 5; ++round) {
    const double start = ThreadSeconds();
    uint32_t found = 0;
    for (int i = 0; i < 2000; ++i) found += session::FindTokenObjectHandle(kSlot, cardId);
    best = std::min(best, ThreadSeconds() - start);
    EXPECT_NE(0u, found);
  }
  return best;
}

TEST(HandleLookupTest, TokenObjectHandleIsFoundWithoutWalkingSessionObjects) {
  const store::ObjectKey firstKey = store::PublicObject(0x1001);
  const store::ObjectKey laterKey = store::PublicObject(0x1002);
  const uint32_t first = session::NewTokenObjectHandle(kSlot, firstKey, {});
  const double alone = LookupSeconds(firstKey);
  for (int i = 0; i < 20000; ++i) session::NewObject(kOwner, kSlot, {});
  // Made after the session objects, so that a walk in handle order meets
  // all of them first.
  const uint32_t later = session::NewTokenObjectHandle(kSlot, laterKey, {});
  const double beside = LookupSeconds(laterKey);
  EXPECT_EQ(later, session::FindTokenObjectHandle(kSlot, laterKey));
  EXPECT_EQ(first, session::FindTokenObjectHandle(kSlot, firstKey));
  // A walk costs thousands of times more; an index lookup about the same.
  EXPECT_LT(beside, 20 * alone + 1e-4) << "alone " << alone << " s, beside " << beside << " s";

  session::DestroySessionObjects(kOwner);
  EXPECT_EQ(later, session::FindTokenObjectHandle(kSlot, laterKey));
  EXPECT_EQ(CKR_OK, session::DestroyObjectEntry(later));
  EXPECT_EQ(0u, session::FindTokenObjectHandle(kSlot, laterKey)) << "a destroyed entry is gone";
  EXPECT_EQ(CKR_OK, session::DestroyObjectEntry(first));
}

}  // namespace
}  // namespace zorad::test
