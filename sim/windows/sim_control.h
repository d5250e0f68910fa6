/* Test control of the simulated winscard.dll.
 *
 * The simulated winscard.dll holds one PC/SC double with its simulated
 * readers and cards. The module under test reaches it through the ordinary
 * SCard* exports; a test executable in the same process reaches it through
 * the one extra export ZoradSimGetControl, which hands out this table of
 * plain C functions. Only C types cross between the two binaries: each has
 * its own C++ runtime.
 *
 * Result codes passed in and out are WinSCard's (SCARD_E_UNSUPPORTED_FEATURE
 * is 0x80100022 here). Functions returning int answer 1 on success and 0 when
 * the reader or card is unknown or the request is refused.
 */
#ifndef ZORAD_SIM_WINDOWS_SIM_CONTROL_H
#define ZORAD_SIM_WINDOWS_SIM_CONTROL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZORAD_SIM_CONTROL_VERSION 1u

/* The PC/SC calls, for fault injection and counters. */
enum ZoradSimCall {
  ZORAD_SIM_ESTABLISH_CONTEXT,
  ZORAD_SIM_RELEASE_CONTEXT,
  ZORAD_SIM_IS_VALID_CONTEXT,
  ZORAD_SIM_CANCEL,
  ZORAD_SIM_LIST_READERS,
  ZORAD_SIM_GET_STATUS_CHANGE,
  ZORAD_SIM_CONNECT,
  ZORAD_SIM_RECONNECT,
  ZORAD_SIM_DISCONNECT,
  ZORAD_SIM_BEGIN_TRANSACTION,
  ZORAD_SIM_END_TRANSACTION,
  ZORAD_SIM_TRANSMIT,
  ZORAD_SIM_GET_ATTRIB,
  ZORAD_SIM_STATUS,
  ZORAD_SIM_FREE_MEMORY,
  ZORAD_SIM_CALL_COUNT
};

/* How a reader driver answers one attribute query. */
enum ZoradSimAttributeAnswer {
  ZORAD_SIM_ATTR_SERVED = 0,
  ZORAD_SIM_ATTR_UNSUPPORTED_FEATURE = 1, /* SCARD_E_UNSUPPORTED_FEATURE */
  ZORAD_SIM_ATTR_NOT_SUPPORTED = 2        /* ERROR_NOT_SUPPORTED */
};

enum ZoradSimProtocol { ZORAD_SIM_T0 = 1, ZORAD_SIM_T1 = 2 };

enum ZoradSimCardVariant {
  ZORAD_SIM_CARD_PERSONALISED = 0,
  ZORAD_SIM_CARD_BLANK = 1,  /* no card application */
  ZORAD_SIM_CARD_CORRUPT = 2 /* token information checksum broken */
};

typedef struct ZoradSimReaderOptions {
  uint32_t protocol; /* ZoradSimProtocol */
  char vendorName[64];
  uint32_t vendorNameWithNul;
  uint32_t vendorNameAnswer;      /* ZoradSimAttributeAnswer */
  uint32_t vendorSizeQueryResult; /* 0 serves the size query */
  uint32_t ifdVersion;            /* 0xMMmmbbbb */
  uint32_t ifdVersionAnswer;
  uint32_t atrAnswer;
} ZoradSimReaderOptions;

typedef struct ZoradSimCardSetup {
  uint32_t variant;  /* ZoradSimCardVariant */
  uint32_t protocol; /* ZoradSimProtocol */
  uint8_t serialNumber[7];
  uint8_t minPinLen;
  uint8_t maxPinLen;
  uint8_t pinTryThreshold;
  uint8_t userPinSet;
  uint8_t gostParamSet;
  uint16_t activationAnswer;
  uint16_t writeChunk;
  char soPin[33];
  char userPin[33];
  char label[33];
} ZoradSimCardSetup;

typedef struct ZoradSimControl {
  uint32_t version; /* ZORAD_SIM_CONTROL_VERSION */
  uint32_t size;    /* sizeof(ZoradSimControl) */

  /* The world: back to no readers, service running, no faults. */
  void (*Reset)(void);
  void (*DefaultReaderOptions)(ZoradSimReaderOptions* options);
  /* options may be null for the defaults. */
  int (*AddReader)(const char* name, const ZoradSimReaderOptions* options);
  int (*RemoveReader)(const char* name);
  int (*SetReaderOptions)(const char* name, const ZoradSimReaderOptions* options);
  uint32_t (*ReaderEventCount)(const char* name);

  /* Cards. InsertCard makes a new card (setup null: the default one);
   * ReinsertCard puts the card last inserted into the reader back. */
  void (*DefaultCardSetup)(ZoradSimCardSetup* setup);
  int (*InsertCard)(const char* reader, const ZoradSimCardSetup* setup);
  int (*RemoveCard)(const char* reader);
  int (*ReinsertCard)(const char* reader);
  int (*ResetByOtherApplication)(const char* reader);

  /* Service and PC/SC faults. */
  void (*StopService)(void);
  void (*StartService)(void);
  void (*FailNext)(uint32_t call, uint32_t code, uint32_t count, uint32_t skip);
  void (*ClearFaults)(void);
  uint32_t (*CallCount)(uint32_t call);
  uint32_t (*OpenTransactions)(void);
  uint32_t (*LeakedTransactions)(void);
  uint32_t (*OpenConnections)(void);
  uint32_t (*Waiters)(void);
  int (*WaitForWaiters)(uint32_t count, uint32_t timeoutMs);

  /* The card last inserted into a reader. cla / ins of -1 match anything;
   * TearWriteAt with cardRemoved 0 leaves the card in and answers 6581. */
  int (*CardAnswerAt)(const char* reader, uint32_t n, uint16_t sw);
  int (*CardAnswerMatching)(const char* reader, int32_t cla, int32_t ins, uint16_t sw);
  int (*CardRemoveAt)(const char* reader, uint32_t n);
  int (*CardTearWriteAt)(const char* reader, uint32_t n, uint32_t bytesKept, int cardRemoved);
  int (*CardClearFaults)(const char* reader);
  int (*CardSetPinTriesLeft)(const char* reader, uint8_t ref, uint8_t tries);
  int (*CardSetPinMustChange)(const char* reader, uint8_t ref, int mustChange);
  /* -1 for an unknown card or PIN. */
  int32_t (*CardPinTriesLeft)(const char* reader, uint8_t ref);
  int (*CardIsPinVerified)(const char* reader, uint8_t ref);
  uint32_t (*CardCountCommands)(const char* reader, int32_t cla, int32_t ins);
  uint32_t (*CardLogSize)(const char* reader);
  /* Copies the index-th logged command (at most capacity bytes) and
   * returns its full length; 0 when there is no such entry. */
  uint32_t (*CardCommand)(const char* reader, uint32_t index, uint8_t* buffer, uint32_t capacity);
  int (*CardClearLog)(const char* reader);

  /* GOST R 34.11-94 (CryptoPro) and a signature check in the PKCS#11
   * conventions (public key X || Y little-endian, signature s || r), so
   * that tests can check the module's results without a crypto library. */
  int (*GostR341194Hash)(const uint8_t* data, uint32_t length, uint8_t hash[32]);
  int (*VerifyPkcs11GostSignature)(uint8_t paramSet, const uint8_t publicKey[64],
                                   const uint8_t hash[32], const uint8_t signature[64]);
} ZoradSimControl;

typedef const ZoradSimControl* (*ZoradSimGetControlFn)(void);

/* Exported by the simulated winscard.dll. */
const ZoradSimControl* ZoradSimGetControl(void);

#ifdef __cplusplus
}
#endif

#endif /* ZORAD_SIM_WINDOWS_SIM_CONTROL_H */
