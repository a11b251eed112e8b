// Text services where the platform is not Windows, made to behave like the
// Windows ones the logic was written against: conversions that replace bad
// input with U+FFFD and fail when the output does not fit, a comparison that
// folds every letter, and the C runtime's comparisons that fold only A to Z.
#include "audio/text.h"

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <wctype.h>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool in(unsigned char byte, unsigned char low, unsigned char high)
{
    return byte >= low && byte <= high;
}

// Decodes one character at *text and advances past it. An ill-formed
// sequence yields one U+FFFD for its longest valid beginning (at least one
// byte), as Unicode recommends and Windows does.
char32_t decode_utf8(const unsigned char*& text)
{
    const unsigned char lead = *text++;
    if (lead < 0x80)
        return lead;
    int trailing;
    char32_t code;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (in(lead, 0xC2, 0xDF)) {
        trailing = 1;
        code = lead & 0x1F;
    } else if (in(lead, 0xE0, 0xEF)) {
        trailing = 2;
        code = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;  // no overlong forms
        if (lead == 0xED)
            high = 0x9F;  // no surrogates
    } else if (in(lead, 0xF0, 0xF4)) {
        trailing = 3;
        code = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;  // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (int i = 0; i < trailing; ++i) {
        if (!in(*text, low, high))
            return kReplacement;  // the offending byte starts the next one
        code = (code << 6) | (*text++ & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return code;
}

// Decodes one character of UTF-16; a lone surrogate is U+FFFD.
char32_t decode_utf16(const Utf16Char*& text)
{
    const char32_t unit = *text++;
    if (unit < 0xD800 || unit > 0xDFFF)
        return unit;
    if (unit <= 0xDBFF && *text >= 0xDC00 && *text <= 0xDFFF)
        return 0x10000 + ((unit - 0xD800) << 10) + (*text++ - 0xDC00);
    return kReplacement;
}

// Appends code as UTF-16 or UTF-8; false when it does not fit.
bool put_utf16(char32_t code, Utf16Char* out, int capacity, int& used)
{
    if (code < 0x10000) {
        if (used + 1 > capacity)
            return false;
        out[used++] = static_cast<Utf16Char>(code);
        return true;
    }
    if (used + 2 > capacity)
        return false;
    code -= 0x10000;
    out[used++] = static_cast<Utf16Char>(0xD800 + (code >> 10));
    out[used++] = static_cast<Utf16Char>(0xDC00 + (code & 0x3FF));
    return true;
}

bool put_utf8(char32_t code, char* out, int capacity, int& used)
{
    unsigned char bytes[4];
    int count;
    if (code < 0x80) {
        bytes[0] = static_cast<unsigned char>(code);
        count = 1;
    } else if (code < 0x800) {
        bytes[0] = static_cast<unsigned char>(0xC0 | (code >> 6));
        bytes[1] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        count = 2;
    } else if (code < 0x10000) {
        bytes[0] = static_cast<unsigned char>(0xE0 | (code >> 12));
        bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        count = 3;
    } else {
        bytes[0] = static_cast<unsigned char>(0xF0 | (code >> 18));
        bytes[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3F));
        bytes[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3F));
        bytes[3] = static_cast<unsigned char>(0x80 | (code & 0x3F));
        count = 4;
    }
    if (used + count > capacity)
        return false;
    for (int i = 0; i < count; ++i)
        out[used++] = static_cast<char>(bytes[i]);
    return true;
}

// glibc's C.UTF-8 knows the case of every letter; a locale object of our own
// leaves the process's locale, which we never set, alone. Made on first use
// by the one thread (a guarded static would pull in the C++ runtime for it).
locale_t unicode_locale()
{
    static bool made = false;
    static locale_t locale = static_cast<locale_t>(0);
    if (!made) {
        locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
        made = true;
    }
    return locale;
}

char32_t fold_case(char32_t code)
{
    const locale_t locale = unicode_locale();
    if (!locale)
        return (code >= U'A' && code <= U'Z') ? code + 32 : code;
    return static_cast<char32_t>(towlower_l(static_cast<wint_t>(code), locale));
}

Utf16Char fold_ascii(Utf16Char unit)
{
    return (unit >= 'A' && unit <= 'Z') ? static_cast<Utf16Char>(unit + 32) : unit;
}

}  // namespace

int utf8_to_utf16(const char* text, Utf16Char* out, int capacity)
{
    const unsigned char* in_text = reinterpret_cast<const unsigned char*>(text);
    int used = 0;
    for (;;) {
        const char32_t code = decode_utf8(in_text);
        if (!put_utf16(code, out, capacity, used))
            return 0;
        if (code == 0)
            return used;
    }
}

int utf16_to_utf8(const Utf16Char* text, char* out, int capacity)
{
    int used = 0;
    for (;;) {
        const char32_t code = decode_utf16(text);
        if (!put_utf8(code, out, capacity, used))
            return 0;
        if (code == 0)
            return used;
    }
}

int compare_text_nocase(const Utf16Char* a, const Utf16Char* b)
{
    for (;;) {
        const char32_t left = fold_case(decode_utf16(a));
        const char32_t right = fold_case(decode_utf16(b));
        if (left != right)
            return left < right ? -1 : 1;
        if (left == 0)
            return 0;
    }
}

void copy_text_bounded(Utf16Char* out, const Utf16Char* text, int capacity)
{
    if (capacity <= 0)
        return;
    int i = 0;
    for (; i < capacity - 1 && text[i]; ++i)
        out[i] = text[i];
    out[i] = 0;
}

int compare_ascii_nocase(const Utf16Char* a, const Utf16Char* b)
{
    return compare_ascii_nocase_n(a, b, -1);
}

int compare_ascii_nocase_n(const Utf16Char* a, const Utf16Char* b, int count)
{
    for (int i = 0; count < 0 || i < count; ++i) {
        const Utf16Char left = fold_ascii(a[i]);
        const Utf16Char right = fold_ascii(b[i]);
        if (left != right)
            return left < right ? -1 : 1;
        if (left == 0)
            return 0;
    }
    return 0;
}
