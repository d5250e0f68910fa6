// The card conversation each standard operation cannot do without, derived
// from the card's contents (a census taken before and after the operation)
// and the store's rules: every token operation selects the application in
// its own transaction and checks the serial number; an area is used only
// after its allocation table was read and checked (one READ BINARY per 256
// bytes); a refresh reads only the 17-byte headers; an object is read by
// confirming its header and reading its body, one READ BINARY per block; a
// record is written as whole blocks, one UPDATE BINARY each; the table is
// written once per change, in writeChunk pieces; only blocks that went from
// used to free are erased. results.md shows the same derivation in short.
#pragma once

#include <cstddef>
#include <cstdint>

#include "inprocess/card_census.h"
#include "inprocess/conversation.h"

namespace zorad::bench {

// Building blocks, each appending the commands and their sizes.
class NeededConversation {
 public:
  explicit NeededConversation(const CardCensus& census) : census_(census) {}

  NeededConversation& SelectApplication();
  NeededConversation& SerialNumber();
  NeededConversation& Open();  // SELECT app + serial number: every operation on objects
  NeededConversation& SelectArea(bool isPrivate);
  NeededConversation& Headers(bool isPrivate);  // the refresh of one area
  NeededConversation& Refresh(bool isPrivate);  // SelectArea + Headers
  NeededConversation& Header();
  // A record not seen before: one read from its header over its first run,
  // then what is left of it (+ a public key's value).
  NeededConversation& FirstSight(const AreaCensus& area, const CensusObject& object);
  NeededConversation& PublicKeyValue(const CensusObject& object);
  // Header, then the body over runs of adjacent blocks (+ a public key's value).
  NeededConversation& ReadObject(const AreaCensus& area, const CensusObject& object);
  NeededConversation& WriteRecord(const AreaCensus& area, const CensusObject& object);
  NeededConversation& WriteTable(const AreaCensus& area);
  NeededConversation& EraseBlocks(const AreaCensus& area, size_t blocks);
  NeededConversation& Challenge(size_t length);
  NeededConversation& Pin();
  NeededConversation& PinStatus();
  NeededConversation& GenerateKey();
  NeededConversation& SecurityEnvironment();
  NeededConversation& Hash(size_t length);
  NeededConversation& ComputeSignature();
  NeededConversation& VerifySignature();

  Conversation Take() { return std::move(list_); }

 private:
  void ReadRecordBytes(const AreaCensus& area, const CensusObject& object, size_t from,
                       size_t length);
  void Add(const char* kind, size_t sent, size_t received) {
    list_.push_back({kind, sent, received});
  }
  // Whole blocks of an area, each written in chunks (records and erasures
  // are written block by block).
  NeededConversation& WriteBlocks(const AreaCensus& area, size_t blocks);
  // `length` bytes of a file, in UPDATE BINARY chunks of the card's size.
  void UpdateBinary(size_t length);

  const CardCensus& census_;
  Conversation list_;
};

// The standard operations. `before` and `after` are censuses around the
// operation; ids name the objects concerned.
Conversation NeededOpenSession(const CardCensus& before, bool userLoggedIn);
Conversation NeededLogin(const CardCensus& before);
Conversation NeededFindAll(const CardCensus& before, bool userLoggedIn);
Conversation NeededReadAttributes(const CardCensus& before, uint32_t id);
Conversation NeededCreate(const CardCensus& before, const CardCensus& after);
Conversation NeededChange(const CardCensus& before, const CardCensus& after, uint32_t id);
Conversation NeededDelete(const CardCensus& before, uint32_t id);
Conversation NeededKeyPair(const CardCensus& before, const CardCensus& after);
Conversation NeededSign(const CardCensus& before, uint32_t keyId, size_t dataLength,
                        bool cardHashes);
Conversation NeededVerify(const CardCensus& before, uint32_t keyId, size_t dataLength);
Conversation NeededRandom(const CardCensus& before, size_t length);
Conversation NeededTokenInfo(const CardCensus& before, bool userLoggedIn);
Conversation NeededLogout(const CardCensus& before);

}  // namespace zorad::bench
