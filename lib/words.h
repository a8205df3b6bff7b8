// Words and numbers: the one scanner of whitespace-separated words that the
// answers, the descriptor files and the ASCII grids are read with, the two
// rules by which a word is a number, and numbers written as words.
//
// A scanner reads a text in memory (a mapped file, with a byte after it that
// is no part of a number, such as a zero or a blank) or a stream, in blocks
// of a buffer the caller gives, or a line at a time for answers typed at a
// terminal (a block must not wait for more than the line typed). A word is
// never split between two blocks; a word longer than the buffer comes back
// cut to the buffer, and the rest of it is skipped.
//
// Nothing here prints or exits, and only the functions that return a
// std::string allocate; failures come back as results.
// Scanners over different texts may run on different threads at once.
#ifndef QUARVELIN_WORDS_H
#define QUARVELIN_WORDS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The characters that separate words: blank, tab, line feed, carriage
// return, vertical tab, form feed.
bool is_blank(int c);

// The word [b, e) as a 32-bit integer, as "%d" reads a whole word: an
// optional sign ("+" included, "+-" not), then decimal digits. False, with
// value untouched, for anything else or a number beyond 32 bits.
bool int_word(const char *b, const char *e, int &value);

// The word [b, e) as a real number, as "%lf" reads a whole word: decimal
// and hexadecimal notations, a number too small for a double as the 0 or
// subnormal that "%lf" gives. value is set only for word_number.
enum NumberWord {
    word_number,      // a finite number
    word_not_number,  // not a number at all
    word_out_of_range // infinite: beyond a double (1e999), or "inf", "nan"
};
NumberWord real_word(const char *b, const char *e, double &value);

struct WordScanner {
    FILE *in;         // the stream, or null for a text in memory
    char *buf;        // the text, or the block read last; buf[len] ends it
    size_t pos, len;  // the next byte, and the end of what buf holds
    size_t cap;       // the size of the caller's buffer (one byte is kept)
    bool ended;       // nothing follows buf[len]
    bool by_line;     // a stream read a line at a time
    bool cut;         // the last word was cut: the rest of it is skipped
    int64_t consumed; // bytes of the stream before buf[0]
};

// A scanner over text[0, size); text[size] must be readable and no digit,
// point, sign or letter.
void scan_text(WordScanner &s, const char *text, size_t size);

// A scanner over a stream, in the caller's buffer of `cap` bytes (at least
// 2), by blocks or by lines.
void scan_stream(WordScanner &s, FILE *in, char *buffer, size_t cap, bool by_line);

// The next word as [b, e), valid until the next call; false at the end.
bool next_word(WordScanner &s, const char *&b, const char *&e);

// The next word as a finite real number (real_word); a short decimal word,
// the common case of a grid, is read as it is found. False at the end of the
// text, or when the word is not a finite number.
bool next_value(WordScanner &s, double &v);

// The next byte, or EOF at the end of the text.
int next_byte(WordScanner &s);

// Bytes of the text before the next unread byte.
int64_t scanned(const WordScanner &s);

// The number of words in text[0, size); a word that goes on past size is
// counted.
int64_t count_words(const char *text, size_t size);

// The words of whole numbers as an ASCII grid holds them, "%d" and a tab
// after each of the n values, at out: at most 4 bytes a byte value, 12 an
// int. Returns the bytes written.
size_t tabbed_words(const unsigned char *values, size_t n, char *out);
size_t tabbed_words(const int *values, size_t n, char *out);
// The n values as a raw raster holds them: 32-bit two's complement, least
// significant byte first, 4 bytes each. Returns the bytes written.
size_t little_endian_words(const int *values, size_t n, char *out);

// The shortest word that reads back as v.
std::string shortest_word(double v);

// Reads up to `most` whitespace-separated whole numbers of f into v (values
// that are absent are left untouched), each word as int_word reads it and
// no longer than 64 bytes; nothing after them is read. Returns how many
// were read. Reading stops at the first word that is not a 32-bit whole
// number, and then *refused (when given) is set.
int read_whole_numbers(FILE *f, int *v, int most, bool *refused);

// text[0, size) cut at blanks into `count` chunks (at least one) of about
// the same size, and the words of each, counted on up to `threads` threads
// (workers.h).
struct TextChunk {
    const char *begin;
    size_t size;
    int64_t words;
};
std::vector<TextChunk> counted_chunks(const char *text, size_t size, size_t count, int threads);

// printf-style formatting into a std::string.
std::string strf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

#endif
