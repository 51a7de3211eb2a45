// Text services of the stand-in's process entry.
#pragma once

#include <string>
#include <string_view>

namespace pnpsim {

// Decodes bytes as UTF-8 into UTF-16. Each maximal invalid subsequence
// becomes one U+FFFD, as Unicode recommends and as users see elsewhere.
std::u16string utf16_from_utf8(std::string_view bytes);

// Encodes UTF-16 as UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8_from_utf16(std::u16string_view text);

}  // namespace pnpsim
