#include "console_out.h"

#include <cstdio>

namespace {

constexpr unsigned long REPLACEMENT = 0xFFFD;

void write_stdout(const char *bytes, std::size_t size) { std::fwrite(bytes, 1, size, stdout); }

HANDLE console = nullptr;

void write_console(const WCHAR *units, std::size_t count) {
    while (count > 0) {
        DWORD written = 0;
        if (!WriteConsoleW(console, units, static_cast<DWORD>(count), &written, nullptr) ||
            written == 0 || written > count) {
            return;  // a console that takes nothing more: nowhere else to say so
        }
        units += written;
        count -= written;
    }
}

OutputSink byte_sink = nullptr;
ConsoleSink unit_sink = nullptr;

// The way out for this process, chosen at its first message.
void choose_way_out() {
    if (byte_sink != nullptr || unit_sink != nullptr) return;
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
        console = out;
        unit_sink = write_console;
    } else {
        byte_sink = write_stdout;
    }
}

// A message is gathered in a small buffer and leaves in as few writes as
// its size allows; a text of any length streams through it. A character
// that would not fit whole goes into the next piece.
constexpr std::size_t CHUNK = 256;
constexpr std::size_t CHUNK_UNITS = CHUNK / sizeof(WCHAR);

struct Chunk {
    bool units;  // UTF-16 for a console, else UTF-8 bytes
    std::size_t used;
    union {
        char bytes[CHUNK];
        WCHAR wide[CHUNK_UNITS];
    } text;
};

void flush(Chunk &c) {
    if (c.used > 0) {
        if (c.units) {
            unit_sink(c.text.wide, c.used);
        } else {
            byte_sink(c.text.bytes, c.used);
        }
    }
    c.used = 0;
}

void put_code_point(Chunk &c, unsigned long cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = REPLACEMENT;
    if (c.units) {
        std::size_t need = cp < 0x10000 ? 1 : 2;
        if (c.used + need > CHUNK_UNITS) flush(c);
        if (need == 1) {
            c.text.wide[c.used++] = static_cast<WCHAR>(cp);
        } else {
            c.text.wide[c.used++] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
            c.text.wide[c.used++] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
        return;
    }
    char seq[4];
    std::size_t n = 0;
    if (cp < 0x80) {
        seq[n++] = static_cast<char>(cp);
    } else if (cp < 0x800) {
        seq[n++] = static_cast<char>(0xC0 | (cp >> 6));
        seq[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        seq[n++] = static_cast<char>(0xE0 | (cp >> 12));
        seq[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        seq[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        seq[n++] = static_cast<char>(0xF0 | (cp >> 18));
        seq[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        seq[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        seq[n++] = static_cast<char>(0x80 | (cp & 0x3F));
    }
    if (c.used + n > CHUNK) flush(c);
    for (std::size_t i = 0; i < n; ++i) c.text.bytes[c.used++] = seq[i];
}

// The next character of a UTF-8 format; a byte that starts no valid
// sequence stands for U+FFFD on its own.
unsigned long next_format_char(const char *&f) {
    auto byte = [](const char *p) { return static_cast<unsigned char>(*p); };
    unsigned long b = byte(f++);
    if (b < 0x80) return b;
    int more = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        more = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        more = 2;
    } else if (b >= 0xF0 && b <= 0xF4) {
        more = 3;
    } else {
        return REPLACEMENT;
    }
    unsigned long cp = b & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        if ((byte(f) & 0xC0) != 0x80) return REPLACEMENT;
        cp = (cp << 6) | (byte(f++) & 0x3F);
    }
    static constexpr unsigned long SMALLEST[] = {0, 0x80, 0x800, 0x10000};
    return cp < SMALLEST[more] ? REPLACEMENT : cp;
}

void put_wide(Chunk &c, const WCHAR *text) {
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
        } else {
            put_code_point(c, unit);  // a lone low surrogate becomes U+FFFD there
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
    while (count > 0) put_code_point(c, static_cast<unsigned long>(digits[--count]));
}

struct Argument {
    const WCHAR *text;
    unsigned long long number;
    bool negative;
};

// The conversions the messages use (%ls, %lu, %d, %%); each takes the
// next argument. Anything else is printed as it stands.
void emit(const char *format, const Argument *args, int count) {
    choose_way_out();
    Chunk c;
    c.units = unit_sink != nullptr;
    c.used = 0;
    int next = 0;
    for (const char *f = format; *f != 0;) {
        if (*f != '%') {
            put_code_point(c, next_format_char(f));
            continue;
        }
        bool wide = f[1] == 'l' && f[2] == 's';
        bool code = f[1] == 'l' && f[2] == 'u';
        bool signed_number = f[1] == 'd';
        if (f[1] == '%') {
            put_code_point(c, '%');
            f += 2;
        } else if ((wide || code || signed_number) && next < count) {
            const Argument &a = args[next++];
            if (wide) {
                if (a.text != nullptr) put_wide(c, a.text);
            } else {
                if (a.negative) put_code_point(c, '-');
                put_unsigned(c, a.number);
            }
            f += signed_number ? 2 : 3;
        } else {
            put_code_point(c, '%');
            ++f;
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

void set_output_sink(OutputSink sink) {
    byte_sink = sink;
    unit_sink = nullptr;
}

void set_console_sink(ConsoleSink sink) {
    unit_sink = sink;
    byte_sink = nullptr;
}
