// Text from the service shown on a terminal. A hostile or broken service
// could otherwise move the cursor, retitle the window or hide earlier lines
// with escape sequences in a server name or an error text, or reorder what
// a line shows with bidirectional controls.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace proxycli {

// `text` with every C0 control, DEL and C1 control shown as an escape: "\n",
// "\r", "\t", else "\xHH" per byte (ESC is "\x1b"). C1 controls are caught
// both UTF-8 encoded (U+0080..U+009F) and as bare 8-bit bytes 0x80..0x9F.
// The bidirectional controls (U+061C, U+200E, U+200F, U+202A..U+202E,
// U+2066..U+2069) are escaped per byte of their UTF-8 form as well, so U+202E
// shows as "\xe2\x80\xae".
// Everything else passes unchanged, including 8-bit text that is not UTF-8.
// JSON output needs none of this: the serialiser escapes controls itself.
std::string Printable(const std::string& text);

// Printable(text) handed to `sink` in pieces, in order, so that a huge text
// is never escaped whole; runs of unchanged bytes come as one piece.
using PrintableSink = std::function<void(const char* data, std::size_t size)>;
void PrintablePieces(std::string_view text, const PrintableSink& sink);

// Printable(text).size(), without building it.
std::size_t PrintableSize(std::string_view text);

}  // namespace proxycli
