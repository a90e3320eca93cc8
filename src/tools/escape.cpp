#include "tools/escape.h"

namespace {

// Length of the valid UTF-8 sequence starting at s[i] (1 to 4), or 0 when
// the bytes there are not one (overlong forms and surrogates included).
size_t utf8_sequence(const std::string &s, size_t i)
{
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t len;
    unsigned cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        len = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; k++) {
        if ((b(i + k) & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3f);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return len;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

}  // namespace

std::string utf8_clean(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t len = utf8_sequence(text, i);
        if (len == 0) {
            out += "\xef\xbf\xbd";  // U+FFFD
            i++;
        } else {
            out.append(text, i, len);
            i += len;
        }
    }
    return out;
}

namespace {

// The inside of a DOT string (no quotes).
std::string dot_inner(const std::string &text)
{
    std::string out;
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (is_control(c) || c >= 0x80) {
            out += '.';
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace

std::string dot_quote(const std::string &text) { return "\"" + dot_inner(text) + "\""; }

std::string dot_label(const std::string &first, const std::string &second,
                      const std::string &third)
{
    std::string out = "\"" + dot_inner(first);
    for (const std::string *line : {&second, &third})
        if (!line->empty())
            out += "\\n" + dot_inner(*line);
    return out + "\"";
}

std::string cell_text(const std::string &text)
{
    std::string out = text;
    for (char &ch : out)
        if (is_control(static_cast<unsigned char>(ch)))
            ch = '.';
    return out;
}
