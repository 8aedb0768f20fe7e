// Form text "k=v&k=v&...&", the plain content of every request body.
#pragma once

#include <map>
#include <string>

namespace wire {

using FormFields = std::map<std::string, std::string>;

// "k=v&" per field in key order. Keys and values go out byte for byte: the
// body encoding escapes the whole, so a value holding "&" cannot be read back.
std::string BuildFormText(const FormFields& fields);

// Splits form text at "&" and each piece at its first "=". Keys must be
// non-empty and made of letters, digits, "_", "." or "-"; no control bytes
// may appear anywhere; an empty piece is allowed only as the last one. With
// `requireTrailingAmp` a non-empty text must end with "&", as the client
// always writes it: random bytes from a wrong key almost never pass that.
// A repeated key keeps its last value. Returns false when the text is not a
// form; `fields` is then left in an unspecified state.
bool ParseFormText(const std::string& text, bool requireTrailingAmp, FormFields* fields);

}  // namespace wire
