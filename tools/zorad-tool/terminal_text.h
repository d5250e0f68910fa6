// Text that came from a card object or a certificate (labels, names,
// token fields), made safe to print: such text is chosen by whoever wrote
// the card or issued the certificate, and a control sequence in it would
// reach the administrator's terminal.
#pragma once

#include <string>
#include <string_view>

namespace zorad::tool {

// `text` with every C0 control (newline and tab included) and DEL written
// as \xNN, every C1 control (U+0080 to U+009F in UTF-8) as \u00NN, and every
// byte that is not part of valid UTF-8 as \xNN. Everything else, other
// UTF-8 included, is kept.
std::string Printable(std::string_view text);

// Whether `text` is valid UTF-8 (no overlong forms, no surrogates).
bool IsValidUtf8(std::string_view text);

}  // namespace zorad::tool
