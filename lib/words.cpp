// Words and numbers (words.h).
#include "words.h"

#include "workers.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace {

struct BlankTable {
    bool t[256];
};

constexpr BlankTable make_blank_table()
{
    BlankTable b{};
    for (int c : {' ', '\t', '\n', '\r', '\v', '\f'})
        b.t[c] = true;
    return b;
}

constexpr BlankTable blank_table = make_blank_table();

inline bool blank(char c)
{
    return blank_table.t[static_cast<unsigned char>(c)];
}

// Where the digits of a number word start: "%d" and "%lf" take one '+'
// before the digits, but not "+-" nor "++".
bool skip_plus(const char *&b, const char *e)
{
    if (b != e && *b == '+') {
        b++;
        if (b == e || *b == '-' || *b == '+')
            return false;
    }
    return true;
}

// The common decimal numbers (up to 19 digits, an exponent within 22 of the
// point) read at once: the digits make an integer m, and when m is at most
// 2^53 the value m x 10^k or m / 10^k is one exactly rounded operation on
// exact operands, the correctly rounded value of the number (as the C
// library gives it). Returns where the number ends in [b, e), or null when
// what starts at b is not such a number. With `ended`, a byte that is no
// digit, point, sign or exponent letter stands at e, so that the loops need
// not look for e.
template <bool ended = false>
const char *short_decimal(const char *b, const char *e, double &value)
{
    static constexpr double powers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    auto more = [&] { return ended || b != e; };
    auto digit = [&] { return more() && static_cast<unsigned char>(*b - '0') <= 9; };
    const bool negative = more() && *b == '-';
    b += negative;
    uint64_t m = 0;
    int digits = 0, scale = 0;
    for (; digit(); b++, digits++)
        m = m * 10 + static_cast<uint64_t>(*b - '0');
    if (more() && *b == '.')
        for (b++; digit(); b++, digits++, scale--)
            m = m * 10 + static_cast<uint64_t>(*b - '0');
    if (digits == 0 || digits > 19)
        return nullptr;
    if (more() && (*b == 'e' || *b == 'E')) {
        b++;
        const bool minus = more() && *b == '-';
        b += more() && (*b == '-' || *b == '+');
        if (!digit())
            return nullptr;
        int x = 0;
        for (; digit() && x < 1000; b++)
            x = x * 10 + (*b - '0');
        scale += minus ? -x : x;
    }
    if (m > (uint64_t(1) << 53) || scale < -22 || scale > 22)
        return nullptr;
    double v = static_cast<double>(m);
    v = scale < 0 ? v / powers[-scale] : v * powers[scale];
    value = negative ? -v : v;
    return b;
}

// What the C library's strtod reads from the whole word: hexadecimal
// numbers, and numbers beyond the range of a double (1e-400 is 0, 1e999
// infinite). Words longer than the copy are left to from_chars.
NumberWord library_number(const char *b, const char *e, double &value)
{
    char copy[512];
    const size_t n = static_cast<size_t>(e - b);
    if (n >= sizeof copy)
        return word_not_number;
    std::memcpy(copy, b, n);
    copy[n] = '\0';
    char *end = nullptr;
    const int saved = errno;
    errno = 0;
    const double v = std::strtod(copy, &end);
    errno = saved;
    if (end != copy + n || n == 0)
        return word_not_number;
    if (!std::isfinite(v))
        return word_out_of_range;
    value = v;
    return word_number;
}

} // namespace

bool is_blank(int c)
{
    return c >= 0 && c < 256 && blank_table.t[c];
}

bool int_word(const char *b, const char *e, int &value)
{
    if (!skip_plus(b, e))
        return false;
    int v = 0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (ec != std::errc() || p != e)
        return false;
    value = v;
    return true;
}

NumberWord real_word(const char *b, const char *e, double &value)
{
    if (!skip_plus(b, e))
        return word_not_number;
    if (short_decimal(b, e, value) == e)
        return word_number;
    double v = 0.0;
    auto [p, ec] = std::from_chars(b, e, v);
    if (p == e && ec == std::errc()) {
        if (!std::isfinite(v))
            return word_out_of_range; // "inf", "nan"
        value = v;
        return word_number;
    }
    return library_number(b, e, value);
}

// ------------------------------------------------------------------ scanner

void scan_text(WordScanner &s, const char *text, size_t size)
{
    // The text is only read: buf is not written in this form.
    s = WordScanner{nullptr, const_cast<char *>(text), 0, size, size + 1, true, false, false, 0};
}

void scan_stream(WordScanner &s, FILE *in, char *buffer, size_t cap, bool by_line)
{
    s = WordScanner{in, buffer, 0, 0, cap, false, by_line, false, 0};
    buffer[0] = '\0';
}

namespace {

// More of the stream after what is unread; false when nothing more came.
bool refill(WordScanner &s)
{
    if (s.ended)
        return false;
    if (s.pos > 0) {
        std::memmove(s.buf, s.buf + s.pos, s.len - s.pos);
        s.consumed += static_cast<int64_t>(s.pos);
        s.len -= s.pos;
        s.pos = 0;
    }
    size_t got = 0;
    const size_t room = s.cap - 1 - s.len;
    if (s.by_line) {
        int c = 0;
        while (got < room && (c = std::getc(s.in)) != EOF) {
            s.buf[s.len + got++] = static_cast<char>(c);
            if (c == '\n')
                break;
        }
        s.ended = c == EOF;
    } else {
        got = std::fread(s.buf + s.len, 1, room, s.in);
        s.ended = got == 0;
    }
    s.len += got;
    s.buf[s.len] = '\0';
    return got != 0;
}

// Skips the blanks before the next word, and the rest of a word that was
// cut; false at the end of the text.
bool skip_blanks(WordScanner &s)
{
    for (;;) {
        while (s.pos < s.len && (s.cut ? !blank(s.buf[s.pos]) : blank(s.buf[s.pos])))
            s.pos++;
        if (s.pos < s.len) {
            if (!s.cut)
                return true;
            s.cut = false;
            continue;
        }
        if (!refill(s))
            return false;
    }
}

} // namespace

bool next_word(WordScanner &s, const char *&b, const char *&e)
{
    if (!skip_blanks(s))
        return false;
    size_t k = s.pos;
    for (;;) {
        while (k < s.len && !blank(s.buf[k]))
            k++;
        if (k < s.len || s.ended)
            break;
        if (s.pos == 0 && s.len == s.cap - 1) { // longer than the buffer
            s.cut = true;
            break;
        }
        k -= s.pos;
        refill(s);
    }
    b = s.buf + s.pos;
    e = s.buf + k;
    s.pos = k;
    return true;
}

bool next_value(WordScanner &s, double &v)
{
    if (!skip_blanks(s))
        return false;
    constexpr size_t longest_short = 64; // a short number is shorter
    if (s.len - s.pos < longest_short && !s.ended)
        refill(s);
    const char *b = s.buf + s.pos, *end = s.buf + s.len;
    const char *stop = short_decimal<true>(b, end, v);
    if (stop != nullptr && (stop == end ? s.ended : blank(*stop))) {
        s.pos = static_cast<size_t>(stop - s.buf);
        return true;
    }
    const char *e;
    return next_word(s, b, e) && real_word(b, e, v) == word_number;
}

int next_byte(WordScanner &s)
{
    if (s.pos == s.len && !refill(s))
        return EOF;
    return static_cast<unsigned char>(s.buf[s.pos++]);
}

int64_t scanned(const WordScanner &s)
{
    return s.consumed + static_cast<int64_t>(s.pos);
}

int64_t count_words(const char *text, size_t size)
{
    int64_t n = 0;
    bool before = true; // a blank (or the start) before this byte
    for (size_t k = 0; k < size; k++) {
        const bool b = blank(text[k]);
        n += before && !b;
        before = b;
    }
    return n;
}

// ------------------------------------------------------------ numbers out

namespace {

// "%d\t" of every byte 0..255, made once: one formatted print per cell
// would dominate the writing of an ASCII grid.
struct ByteWords {
    char text[256][4];
    unsigned char size[256];
};
const ByteWords byte_words = [] {
    ByteWords t{};
    for (int v = 0; v < 256; v++) {
        char *end = std::to_chars(t.text[v], t.text[v] + 3, v).ptr;
        *end++ = '\t';
        t.size[v] = static_cast<unsigned char>(end - t.text[v]);
    }
    return t;
}();

} // namespace

size_t tabbed_words(const unsigned char *values, size_t n, char *out)
{
    char *at = out;
    for (size_t j = 0; j < n; j++) {
        std::memcpy(at, byte_words.text[values[j]], 4);
        at += byte_words.size[values[j]];
    }
    return static_cast<size_t>(at - out);
}

size_t tabbed_words(const int *values, size_t n, char *out)
{
    char *at = out;
    for (size_t j = 0; j < n; j++) {
        at = std::to_chars(at, at + 11, values[j]).ptr;
        *at++ = '\t';
    }
    return static_cast<size_t>(at - out);
}

std::string shortest_word(double v)
{
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, v).ptr);
}

int read_whole_numbers(FILE *f, int *v, int most, bool *refused)
{
    // Each word is read whole and must be a whole number: "343." or "2.5"
    // is not read as 343 or 2. A word longer than any number is no number.
    char block[4096];
    WordScanner s;
    scan_stream(s, f, block, sizeof block, false);
    if (refused != nullptr)
        *refused = false;
    int n = 0;
    const char *b, *e;
    while (n < most && next_word(s, b, e)) {
        int x = 0;
        if (e - b > 64 || !int_word(b, e, x)) {
            if (refused != nullptr)
                *refused = true;
            break;
        }
        v[n++] = x;
    }
    return n;
}

std::string strf(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, ap2);
    va_end(ap2);
    return s;
}

std::vector<TextChunk> counted_chunks(const char *text, size_t size, size_t count, int threads)
{
    std::vector<TextChunk> chunks(std::max<size_t>(count, 1));
    const char *at = text, *end = text + size;
    for (size_t k = 0; k < chunks.size(); k++) {
        const char *stop = k + 1 == chunks.size() ? end : std::max(at, text + size / chunks.size() * (k + 1));
        while (stop < end && !is_blank(static_cast<unsigned char>(*stop)))
            stop++;
        chunks[k] = TextChunk{at, static_cast<size_t>(stop - at), 0};
        at = stop;
    }
    const int n = static_cast<int>(chunks.size());
    run_bands(
        n, n, threads,
        [&](int k, int, int) {
            TextChunk &c = chunks[static_cast<size_t>(k)];
            c.words = count_words(c.begin, c.size);
        },
        [](int, int) { return true; });
    return chunks;
}

size_t little_endian_words(const int *values, size_t n, char *out)
{
    if constexpr (std::endian::native == std::endian::little)
        std::memcpy(out, values, 4 * n);
    else
        for (size_t j = 0; j < 4 * n; j++)
            out[j] = static_cast<char>(static_cast<uint32_t>(values[j / 4]) >> (8 * (j % 4)) & 0xFF);
    return 4 * n;
}
