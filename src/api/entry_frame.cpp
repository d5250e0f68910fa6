#include "api/entry_frame.h"

#include <array>

namespace zorad::api {

namespace {

#define ZORAD_H "----------------------------------------------- "
#define ZORAD_PLAIN(name) {ZORAD_H name "\n", ZORAD_H name ": %08x\n"}
#define ZORAD_SESSION(name) {ZORAD_H name " (%08X)\n", ZORAD_H name ": %08x\n"}

// Indexed by EntryPoint.
constexpr std::array<EntryTraceFormat, 41> kFormats = {{
    ZORAD_PLAIN("C_Initialize"),
    ZORAD_PLAIN("C_Finalize"),
    ZORAD_PLAIN("C_GetInfo"),
    ZORAD_PLAIN("C_GetFunctionList"),
    ZORAD_PLAIN("C_GetSlotList"),
    {ZORAD_H "C_GetSlotInfo(0x%08X)\n", ZORAD_H "C_GetSlotInfo: %08x\n"},
    {ZORAD_H "C_GetTokenInfo(0x%08X)\n", ZORAD_H "C_GetTokenInfo: %08x\n"},
    {ZORAD_H "C_WaitForSlotEvent (%x, %x, %x)\n", ZORAD_H "C_WaitForSlotEvent: %08x\n"},
    {ZORAD_H "C_GetMechanismList\n", ZORAD_H "C_GetMechanismList: %08x count=%d\n"},
    ZORAD_PLAIN("C_GetMechanismInfo"),
    ZORAD_PLAIN("C_InitToken"),
    {ZORAD_H "C_InitPIN (%08X)\n", ZORAD_H "C_InitPIN: %08x\n"},
    {ZORAD_H "C_SetPIN (%08X)\n", ZORAD_H "C_SetPIN: %08x\n"},
    {ZORAD_H "C_OpenSession (%08X)\n", ZORAD_H "C_OpenSession: %08x\n"},
    {ZORAD_H "C_CloseSession (%08X)\n", ZORAD_H "C_CloseSession: %08x\n"},
    {ZORAD_H "C_GetSessionInfo (%08X)\n", ZORAD_H "C_GetSessionInfo: %08x\n"},
    {ZORAD_H "C_Login (%08X)\n", ZORAD_H "C_Login: %08x\n"},
    {ZORAD_H "C_Logout (%08X)\n", ZORAD_H "C_Logout: %08x\n"},
    {ZORAD_H "C_CreateObject (%08X)\n", ZORAD_H "C_CreateObject: %08x\n"},
    {ZORAD_H "C_DestroyObject ses:(%08X), ob:(%08X)\n", ZORAD_H "C_DestroyObject: %08x\n"},
    {ZORAD_H "C_GetAttributeValue ses:(%08X),  ob:(%08X)\n",
     ZORAD_H "C_GetAttributeValue: %08x\n"},
    {ZORAD_H "C_SetAttributeValue (%08X)\n", ZORAD_H "C_SetAttributeValue: %08x\n"},
    {ZORAD_H "C_FindObjectsInit (%08X)\n", ZORAD_H "C_FindObjectsInit: %08x\n"},
    {ZORAD_H "C_FindObjects (%08X)\n", ZORAD_H "C_FindObjects: %08x. Found %d objects\n"},
    {ZORAD_H "C_FindObjectsFinal (%08X)\n", ZORAD_H "C_FindObjectsFinal: %08X\n"},
    {ZORAD_H "C_SignInit (%08X)\n", ZORAD_H "C_SignInit: %08x\n"},
    {ZORAD_H "C_Sign (%08X)\n", ZORAD_H "C_Sign: %08x\n"},
    {ZORAD_H "C_VerifyInit (%08X)\n", ZORAD_H "C_VerifyInit: %08x\n"},
    {ZORAD_H "C_Verify (%08X)\n", ZORAD_H "C_Verify: %08x\n"},
    {ZORAD_H "C_GenerateKeyPair (%08X)\n", ZORAD_H "C_GenerateKeyPair: %08x\n"},
    {ZORAD_H "C_GenerateRandom (%08X)\n", ZORAD_H "C_GenerateRandom: %08x\n"},
    {ZORAD_H "C_CloseAllSessions (%08X)\n", ZORAD_H "C_CloseAllSessions: %08x\n"},
    {ZORAD_H "C_SeedRandom (%08X)\n", ZORAD_H "C_SeedRandom: %08x\n"},
    ZORAD_SESSION("C_SignUpdate"),
    ZORAD_SESSION("C_SignFinal"),
    ZORAD_SESSION("C_VerifyUpdate"),
    ZORAD_SESSION("C_VerifyFinal"),
    ZORAD_SESSION("C_DigestInit"),
    ZORAD_SESSION("C_Digest"),
    ZORAD_SESSION("C_DigestUpdate"),
    ZORAD_SESSION("C_DigestFinal"),
}};
static_assert(kFormats.size() == static_cast<size_t>(EntryPoint::kDigestFinal) + 1,
              "one format pair per entry point");

#undef ZORAD_PLAIN
#undef ZORAD_SESSION
#undef ZORAD_H

}  // namespace

const EntryTraceFormat& TraceFormatOf(EntryPoint point) {
  return kFormats[static_cast<size_t>(point)];
}

// The formats come from the table above; each consumes at most the
// arguments passed, and printf ignores the rest.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#endif

EntryFrame::EntryFrame(EntryPoint point, unsigned a, unsigned b, unsigned c) noexcept
    : format_(TraceFormatOf(point)) {
  ZORAD_TRACE(trace::kEntryExit, format_.entry, a, b, c);
}

EntryFrame::~EntryFrame() {
  if (writeExit_) {
    ZORAD_TRACE(trace::kEntryExit, format_.exit, static_cast<unsigned>(rv_), count_);
  }
}

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace zorad::api
