#pragma once
// The units' texts are 8-bit bytes with no encoding of their own; the commands' JSON, CSV and HTML
// read them as Latin-1 so that any bytes give valid UTF-8.

#include <string>
#include <string_view>

namespace vyr {

// The bytes read as Latin-1 (ISO-8859-1), written as UTF-8: byte n becomes the character U+00n,
// so any bytes give valid UTF-8, and encoding the text as Latin-1 gives the bytes back.
std::string latin1ToUtf8(std::string_view bytes);

}  // namespace vyr
