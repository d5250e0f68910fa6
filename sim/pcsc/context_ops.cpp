// Context-level calls: establishing, releasing, validating and cancelling a
// context, and listing the readers.
#include <iterator>

#include "sim/pcsc/pcsc_service.h"
#include "sim/pcsc/world.h"

namespace zorad::sim::pcsc::service {

using detail::CallScope;
using detail::CheckContext;
using detail::World;

Code EstablishContext(uint32_t scope, Handle* context) {
  CallScope call(Call::kEstablishContext);
  if (call.early() != kSuccess) return call.Done(call.early());
  if (context == nullptr) return call.Done(kInvalidParameter);
  if (scope > 3) return call.Done(kInvalidValue);
  World& world = call.world();
  const Handle handle = world.NewHandle();
  world.contexts[handle] = detail::Context{world.generation, 0};
  *context = handle;
  return call.Done(kSuccess);
}

// A context from before a service stop is forgotten all the same, but the
// call answers kNoService: the client library drops its record even though
// it could not tell the service.
Code ReleaseContext(Handle context) {
  CallScope call(Call::kReleaseContext);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  const Code code = CheckContext(world, context);
  if (code == kInvalidHandle) return call.Done(code);
  for (auto it = world.connections.begin(); it != world.connections.end();) {
    auto next = std::next(it);
    if (it->second.context == context) world.ForgetConnection(it);
    it = next;
  }
  world.contexts.erase(context);
  world.changed.notify_all();  // its waiters must leave
  return call.Done(code);
}

Code IsValidContext(Handle context) {
  CallScope call(Call::kIsValidContext);
  if (call.early() != kSuccess) return call.Done(call.early());
  return call.Done(CheckContext(call.world(), context));
}

// Wakes the status-change waiters of this context; a cancel with nobody
// waiting has no lasting effect.
Code Cancel(Handle context) {
  CallScope call(Call::kCancel);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  const Code code = CheckContext(world, context);
  if (code != kSuccess) return call.Done(code);
  ++world.contexts[context].cancelCount;
  world.changed.notify_all();
  return call.Done(kSuccess);
}

Code ListReaders(Handle context, OutputSpace space, std::string* readers) {
  CallScope call(Call::kListReaders);
  if (call.early() != kSuccess) return call.Done(call.early());
  World& world = call.world();
  const Code code = CheckContext(world, context);
  if (code != kSuccess) return call.Done(code);
  if (readers == nullptr) return call.Done(kInvalidParameter);
  if (world.readers.empty()) return call.Done(kNoReadersAvailable);
  readers->clear();
  for (const auto& reader : world.readers) {
    readers->append(reader.name);
    readers->push_back('\0');
  }
  readers->push_back('\0');
  return call.Done(detail::FitOutput(readers->size(), space));
}

Code FreeMemory(Handle context) {
  CallScope call(Call::kFreeMemory);
  if (call.early() != kSuccess) return call.Done(call.early());
  return call.Done(CheckContext(call.world(), context));
}

Code Refuse(Call call, Code code) {
  CallScope scope(call);
  return scope.Done(scope.early() != kSuccess ? scope.early() : code);
}

}  // namespace zorad::sim::pcsc::service
