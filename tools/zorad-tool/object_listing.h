// The readable description of token objects that 'list' and 'demo' print.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "object_access.h"

namespace zorad::tool {

// "data", "certificate", "public key", "private key", or the number.
std::string ClassName(CK_OBJECT_CLASS objectClass);

// --class data|cert|public|private; nullopt for anything else.
std::optional<CK_OBJECT_CLASS> ParseClass(const std::string& text);

// The attributes the listing shows.
const std::vector<CK_ATTRIBUTE_TYPE>& ListedAttributes();

// One object: class, label, id, private, key type, parameter set, value
// size (and the value in hex for public keys and short values).
void PrintObject(std::ostream& out, const ObjectInfo& object, size_t number);

// Every object the session can see; returns how many there were.
size_t PrintObjects(std::ostream& out, const Session& session);

}  // namespace zorad::tool
