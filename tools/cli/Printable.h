// Text from the service shown on a terminal. A hostile or broken service
// could otherwise move the cursor, retitle the window or hide earlier lines
// with escape sequences in a server name or an error text.
#pragma once

#include <string>

namespace proxycli {

// `text` with every C0 control, DEL and C1 control shown as an escape: "\n",
// "\r", "\t", else "\xHH" per byte (ESC is "\x1b"). C1 controls are caught
// both UTF-8 encoded (U+0080..U+009F) and as bare 8-bit bytes 0x80..0x9F.
// Everything else passes unchanged, including 8-bit text that is not UTF-8.
// JSON output needs none of this: the serialiser escapes controls itself.
std::string Printable(const std::string& text);

}  // namespace proxycli
