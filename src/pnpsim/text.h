// Text services of the stand-in: the one UTF-8 and UTF-16 codec, and the
// one letter-case rule.
#pragma once

#include <string>
#include <string_view>

namespace pnpsim {

// Decodes bytes as UTF-8 into UTF-16. Each maximal invalid subsequence
// becomes one U+FFFD, as Unicode recommends and as users see elsewhere.
std::u16string utf16_from_utf8(std::string_view bytes);

// Encodes UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_utf16(std::u16string_view text);

// ASCII letters only, to upper case (as the platform keeps instance IDs)
// or to lower case (as the C runtime's default locale compares wide text).
constexpr char32_t ascii_case(char32_t c, bool upper) {
    char32_t from = upper ? U'a' : U'A';
    return c >= from && c < from + 26 ? c ^ 0x20 : c;
}

}  // namespace pnpsim
