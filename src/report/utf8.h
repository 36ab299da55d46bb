#pragma once

#include <cstddef>
#include <string_view>

// The length of the well-formed UTF-8 sequence at text[at] (1 to 4), or 0 where there is
// none: a stray continuation byte, an overlong form, a surrogate, a code point past U+10FFFF,
// or a sequence cut by the end of the text. Names of recordings are bytes, not always UTF-8;
// the map and the JSON report must each stay readable whatever they hold.
std::size_t utf8_length(std::string_view text, std::size_t at);
