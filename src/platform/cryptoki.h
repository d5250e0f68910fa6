// The PKCS#11 types and constants, from the published header, with the
// structure layout of the target checked at compile time.
//
// Windows: 1-byte packing and a 32-bit CK_ULONG (the header packs for
// _WIN32 itself). Linux: the Unix convention, CK_ULONG = unsigned long with
// natural alignment.
#pragma once

#ifdef _WIN32
#ifndef CRYPTOKI_EXPORTS
#define CRYPTOKI_EXPORTS 1
#endif
#endif

#include <p11-kit/pkcs11.h>

#include <cstddef>

#ifdef _WIN32
static_assert(sizeof(CK_ULONG) == 4, "Windows module uses a 32-bit CK_ULONG");
static_assert(sizeof(CK_INFO) == 72, "CK_INFO must be 1-byte packed");
static_assert(offsetof(CK_C_INITIALIZE_ARGS, flags) == 32, "flags at offset 32");
static_assert(offsetof(CK_C_INITIALIZE_ARGS, pReserved) == 36, "pReserved at offset 36");
static_assert(sizeof(CK_FUNCTION_LIST) == 2 + 68 * sizeof(void*), "packed function list");
static_assert(sizeof(CK_SLOT_INFO) == 32 + 64 + 4 + 2 + 2, "packed CK_SLOT_INFO");
static_assert(sizeof(CK_ATTRIBUTE) == 4 + 8 + 4, "packed CK_ATTRIBUTE");
#else
static_assert(sizeof(CK_ULONG) == sizeof(unsigned long), "Unix CK_ULONG");
static_assert(sizeof(CK_INFO) == 88, "CK_INFO with natural alignment");
static_assert(offsetof(CK_C_INITIALIZE_ARGS, flags) == 4 * sizeof(void*), "flags after the callbacks");
static_assert(sizeof(CK_FUNCTION_LIST) == sizeof(void*) + 68 * sizeof(void*), "function list");
static_assert(sizeof(CK_ATTRIBUTE) == 3 * sizeof(void*), "CK_ATTRIBUTE");
#endif
