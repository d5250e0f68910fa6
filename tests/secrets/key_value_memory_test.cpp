// An imported key's value goes to the card's key slot and nowhere else: the
// handle the application gets keeps no copy of it in the module's memory,
// whether the card took the key or refused it. A session key has no other
// home and keeps its value.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <new>

#include "session/object_table.h"
#include "support/token_fixture.h"

// While g_watching, every block this program frees is searched for the
// watched key bytes: a copy of a key value freed unwiped stays in the heap.
namespace {
std::atomic<bool> g_watching{false};
std::array<uint8_t, 32> g_watched{};
std::atomic<int> g_freedWithKey{0};
}  // namespace

// The replacements pair malloc with free; the compiler, inlining them
// into the library's allocators, cannot see that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
  if (block != nullptr && g_watching) {
    const auto* bytes = static_cast<const uint8_t*>(block);
    const auto* end = bytes + malloc_usable_size(block);
    if (std::search(bytes, end, g_watched.begin(), g_watched.end()) != end) ++g_freedWithKey;
  }
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }
// Every other form goes the same way, so that no block is allocated by one
// allocator and freed by another (AddressSanitizer checks that).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* block, const std::nothrow_t&) noexcept { operator delete(block); }
void operator delete[](void* block) noexcept { operator delete(block); }
void operator delete[](void* block, std::size_t) noexcept { operator delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { operator delete(block); }
#pragma GCC diagnostic pop

namespace zorad::test {
namespace {

using Bytes = std::vector<uint8_t>;

class KeyValueMemoryTest : public UserSessionTest {};

TEST_F(KeyValueMemoryTest, TokenKeyHandlesHoldNoKeyValue) {
  Bytes scalar(32);
  for (size_t i = 0; i < scalar.size(); ++i) scalar[i] = static_cast<uint8_t>(0x30 + i);
  struct Case {
    const char* what;
    bool token;
    bool valueKept;
  };
  for (const Case c : {Case{"token key", true, false}, Case{"session key", false, true}}) {
    SCOPED_TRACE(c.what);
    Template key;
    key.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410);
    key.Bool(CKA_TOKEN, c.token).Bool(CKA_PRIVATE, true).Bool(CKA_SIGN, true);
    key.Text(CKA_LABEL, c.what).Bytes(CKA_VALUE, scalar);
    CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
    ASSERT_CKR(CKR_OK, C_CreateObject(session_, key.data(), key.size(), &handle));
    const session::ObjectEntry* entry = session::FindObjectEntry(handle);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(c.valueKept, entry->attributes.count(CKA_VALUE) != 0);
    EXPECT_EQ(c.what, ReadText(session_, handle));
  }
  // The card key slot is the key's only home: a token key still signs.
  Template search;
  search.Text(CKA_LABEL, "token key");
  const auto found = FindAll(session_, search);
  ASSERT_EQ(1u, found.size());
  CK_MECHANISM sign{CKM_GOSTR3410_WITH_GOSTR3411, nullptr, 0};
  Bytes message(10, 0x01), signature(64);
  CK_ULONG length = signature.size();
  ASSERT_CKR(CKR_OK, C_SignInit(session_, &sign, found[0]));
  EXPECT_CKR(CKR_OK, C_Sign(session_, message.data(), message.size(), signature.data(), &length));
}

// An imported private key's value reaches the card's key slot and no
// freed memory, also after C_Finalize.
TEST_F(KeyValueMemoryTest, ImportedKeyValueLeavesNothingInFreedMemory) {
  for (size_t i = 0; i < g_watched.size(); ++i) g_watched[i] = static_cast<uint8_t>(0xA0 + i);
  Template key;
  key.Ulong(CKA_CLASS, CKO_PRIVATE_KEY).Ulong(CKA_KEY_TYPE, CKK_GOSTR3410).Bool(CKA_TOKEN, true);
  key.Bool(CKA_PRIVATE, true).Bytes(CKA_VALUE, Bytes(g_watched.begin(), g_watched.end()));
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  g_watching = true;
  EXPECT_CKR(CKR_OK, C_CreateObject(session_, key.data(), key.size(), &handle));
  EXPECT_CKR(CKR_OK, C_Finalize(nullptr));
  g_watching = false;
  EXPECT_EQ(0, g_freedWithKey.load());
  EXPECT_CKR(CKR_OK, C_Initialize(nullptr));
}

}  // namespace
}  // namespace zorad::test
