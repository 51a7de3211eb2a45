#include "console_out.h"

#include <cstdio>

namespace {

void write_stdout(const char *bytes, std::size_t size) { std::fwrite(bytes, 1, size, stdout); }

OutputSink output_sink = write_stdout;

// A message is gathered in a small buffer and leaves in as few writes as
// its size allows; a text of any length streams through it.
constexpr std::size_t CHUNK = 256;

struct Chunk {
    char bytes[CHUNK];
    std::size_t used;
};

void flush(Chunk &c) {
    if (c.used > 0) output_sink(c.bytes, c.used);
    c.used = 0;
}

void put_byte(Chunk &c, char b) {
    if (c.used == CHUNK) flush(c);
    c.bytes[c.used++] = b;
}

void put_code_point(Chunk &c, unsigned long cp) {
    if (cp < 0x80) {
        put_byte(c, static_cast<char>(cp));
    } else if (cp < 0x800) {
        put_byte(c, static_cast<char>(0xC0 | (cp >> 6)));
        put_byte(c, static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        put_byte(c, static_cast<char>(0xE0 | (cp >> 12)));
        put_byte(c, static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        put_byte(c, static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        put_byte(c, static_cast<char>(0xF0 | (cp >> 18)));
        put_byte(c, static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        put_byte(c, static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        put_byte(c, static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void put_wide(Chunk &c, const WCHAR *text) {
    constexpr unsigned long REPLACEMENT = 0xFFFD;
    for (const WCHAR *p = text; *p != 0; ++p) {
        auto unit = static_cast<unsigned long>(*p);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            auto next = static_cast<unsigned long>(p[1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                put_code_point(c, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++p;
            } else {
                put_code_point(c, REPLACEMENT);
            }
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            put_code_point(c, REPLACEMENT);
        } else {
            put_code_point(c, unit);
        }
    }
}

void put_unsigned(Chunk &c, unsigned long long n) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    while (count > 0) put_byte(c, digits[--count]);
}

struct Argument {
    const WCHAR *text;
    unsigned long long number;
    bool negative;
};

// The conversions the messages use (%ls, %lu, %d, %%); each takes the
// next argument. Anything else is printed as it stands.
void emit(const char *format, const Argument *args, int count) {
    Chunk c{};
    int next = 0;
    for (const char *f = format; *f != 0; ++f) {
        if (*f != '%') {
            put_byte(c, *f);
            continue;
        }
        bool wide = f[1] == 'l' && f[2] == 's';
        bool code = f[1] == 'l' && f[2] == 'u';
        bool signed_number = f[1] == 'd';
        if (f[1] == '%') {
            put_byte(c, '%');
            ++f;
        } else if ((wide || code || signed_number) && next < count) {
            const Argument &a = args[next++];
            if (wide) {
                if (a.text != nullptr) put_wide(c, a.text);
            } else {
                if (a.negative) put_byte(c, '-');
                put_unsigned(c, a.number);
            }
            f += signed_number ? 1 : 2;
        } else {
            put_byte(c, *f);
        }
    }
    flush(c);
}

}  // namespace

void say(const char *format) { emit(format, nullptr, 0); }

void say_text(const char *format, const WCHAR *text) {
    Argument a{text, 0, false};
    emit(format, &a, 1);
}

void say_texts(const char *format, const WCHAR *first, const WCHAR *second) {
    Argument a[2] = {{first, 0, false}, {second, 0, false}};
    emit(format, a, 2);
}

void say_code(const char *format, DWORD code) {
    Argument a{nullptr, static_cast<unsigned long long>(code), false};
    emit(format, &a, 1);
}

void say_count(const char *format, int count) {
    long long n = count;
    Argument a{nullptr, static_cast<unsigned long long>(n < 0 ? -n : n), n < 0};
    emit(format, &a, 1);
}

void set_output_sink(OutputSink sink) { output_sink = sink == nullptr ? write_stdout : sink; }
