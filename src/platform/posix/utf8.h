// POSIX side: UTF-8 decoding as the Windows side decodes the active code page
// (UTF-8) in MultiByteToWideChar, shared by the text conversion and the
// profile reader so that both turn the same bytes into the same characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform::utf8 {

constexpr uint32_t kReplacement = 0xFFFD;

// Decodes one character that starts at *cursor and advances the cursor past
// it. Malformed input gives U+FFFD: a byte that cannot start a sequence
// consumes itself; a sequence that turns out invalid (a byte that is no
// continuation, an overlong form, an encoded surrogate, a value above
// U+10FFFF) consumes its lead byte plus the continuation bytes that were
// still plausible; a sequence cut by the end of the text consumes all that
// is left. The cursor must be before end.
uint32_t decode(const unsigned char** cursor, const unsigned char* end);

// Appends the UTF-8 form of a Unicode scalar value.
void append(std::string& out, uint32_t c);

}  // namespace platform::utf8
