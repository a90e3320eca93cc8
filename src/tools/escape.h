// Text from the object database is whatever a datagram carried: any bytes.
// These turn it into output that stays well-formed: UTF-8 text, a DOT
// string, a table cell.  (JSON is written by nlohmann-json, which replaces
// invalid UTF-8 itself.)
#pragma once

#include <string>

// The text with every byte that is not part of a valid UTF-8 sequence
// (overlong forms and surrogates included) replaced by U+FFFD; valid UTF-8
// passes unchanged.
std::string utf8_clean(const std::string &text);
// The text as a DOT double-quoted string, quotes included: the quote and
// the backslash are escaped, control characters and bytes of 0x80 and above
// become '.'.  `\n` sequences the caller wants as line breaks are added
// after quoting (see dot_label).
std::string dot_quote(const std::string &text);
// Lines joined into one DOT label string, each line quoted as dot_quote does,
// separated by the DOT line break "\n".
std::string dot_label(const std::string &first, const std::string &second = "",
                      const std::string &third = "");
// The text for a table cell: control characters become '.', so a value can
// never break a row; other bytes are kept.
std::string cell_text(const std::string &text);
