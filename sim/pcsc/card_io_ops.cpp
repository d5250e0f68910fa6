// Talking to a connected card or reader: APDUs, reader attributes and the
// connection status.
#include "sim/pcsc/pcsc_service.h"
#include "sim/pcsc/world.h"

namespace zorad::sim::pcsc::service {

using detail::CallScope;
using detail::LiveConnection;
using detail::Reader;
using detail::Staleness;
using detail::World;

namespace {

bool OtherHandleTransacting(const World& world, const Reader& reader,
                            Handle self) {
  for (const auto& [handle, connection] : world.connections) {
    if (handle != self && connection.reader == reader.name &&
        connection.transactionDepth > 0 &&
        connection.staleness == Staleness::kLive &&
        connection.generation == world.generation) {
      return true;
    }
  }
  return false;
}

Code AnswerCode(AttributeAnswer answer) {
  switch (answer) {
    case AttributeAnswer::kServed: return kSuccess;
    case AttributeAnswer::kUnsupportedFeature: return kUnsupportedFeature;
    case AttributeAnswer::kNotSupported: return kErrorNotSupported;
  }
  return kUnsupportedFeature;
}

// The value of one attribute, or the code the reader's driver answers.
Code ReadAttribute(const Reader& reader, uint32_t attribute, bool sizeOnly,
                   std::vector<uint8_t>* value) {
  const ReaderOptions& options = reader.options;
  switch (attribute) {
    case kAttrAtrString: {
      if (Code code = AnswerCode(options.atrAnswer); code != kSuccess) {
        return code;
      }
      if (!reader.card) return kNoSmartcard;
      *value = reader.card->Atr();
      return kSuccess;
    }
    case kAttrVendorName: {
      if (Code code = AnswerCode(options.vendorNameAnswer); code != kSuccess) {
        return code;
      }
      if (sizeOnly && options.vendorSizeQueryResult != kSuccess) {
        return options.vendorSizeQueryResult;
      }
      value->assign(options.vendorName.begin(), options.vendorName.end());
      if (options.vendorNameWithNul) value->push_back(0);
      return kSuccess;
    }
    case kAttrVendorIfdVersion: {
      if (Code code = AnswerCode(options.ifdVersionAnswer); code != kSuccess) {
        return code;
      }
      const uint32_t v = options.ifdVersion;
      *value = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
      return kSuccess;
    }
    default:
      return kUnsupportedFeature;
  }
}

}  // namespace

// A card that leaves the reader while it processes the command takes the
// command with it: the reader is empty from then on and the call answers
// kRemovedCard, as every later call on the handle does.
Code Transmit(Handle card, uint32_t pciProtocol,
              std::span<const uint8_t> command, OutputSpace space,
              std::vector<uint8_t>* answer) {
  CallScope call(Call::kTransmit);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  LiveConnection found = detail::FindLiveConnection(world, card);
  if (found.reader != nullptr) call.SetReader(found.reader->name);
  if (found.code != kSuccess) return call.Done(found.code);
  if (answer == nullptr || command.empty()) return call.Done(kInvalidParameter);
  Reader& reader = *found.reader;
  if (!reader.card) return call.Done(kNoSmartcard);  // direct, empty reader
  if (found.connection->protocol == kProtocolUndefined ||
      pciProtocol != found.connection->protocol) {
    return call.Done(kProtoMismatch);
  }
  if (OtherHandleTransacting(world, reader, card)) {
    return call.Done(kSharingViolation);
  }
  CardAnswer reply = reader.card->Transmit(command);
  if (reply.cardRemoved) {
    world.DropCard(reader);
    return call.Done(kRemovedCard);
  }
  *answer = std::move(reply.bytes);
  return call.Done(detail::FitOutput(answer->size(), space));
}

Code GetAttrib(Handle card, uint32_t attribute, OutputSpace space,
               std::vector<uint8_t>* value) {
  CallScope call(Call::kGetAttrib);
  if (call.early() != kSuccess) return call.Done(call.early());
  LiveConnection found = detail::FindLiveConnection(call.world(), card);
  if (found.reader != nullptr) call.SetReader(found.reader->name);
  if (found.code != kSuccess) return call.Done(found.code);
  if (value == nullptr) return call.Done(kInvalidParameter);
  value->clear();
  const Code code =
      ReadAttribute(*found.reader, attribute, space.sizeOnly, value);
  if (code != kSuccess) return call.Done(code);
  return call.Done(detail::FitOutput(value->size(), space));
}

Code Status(Handle card, OutputSpace nameSpace, OutputSpace atrSpace,
            CardStatusInfo* status) {
  CallScope call(Call::kStatus);
  if (call.early() != kSuccess) return call.Done(call.early());
  LiveConnection found = detail::FindLiveConnection(call.world(), card);
  if (found.reader != nullptr) call.SetReader(found.reader->name);
  if (found.code != kSuccess) return call.Done(found.code);
  if (status == nullptr) return call.Done(kInvalidParameter);
  const Reader& reader = *found.reader;
  status->readerName = reader.name;
  status->protocol = found.connection->protocol;
  status->atr.clear();
  if (!reader.card) {
    status->state = kCardAbsent;
  } else {
    status->state = reader.powered
                        ? (kCardPresent | kCardPowered | kCardSpecific)
                        : (kCardPresent | kCardSwallowed);
    status->atr = reader.card->Atr();
  }
  // The name is handed out NUL-terminated.
  Code code = detail::FitOutput(reader.name.size() + 1, nameSpace);
  if (code == kSuccess) code = detail::FitOutput(status->atr.size(), atrSpace);
  return call.Done(code);
}

}  // namespace zorad::sim::pcsc::service
