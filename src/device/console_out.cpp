#include "console_out.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace {

void write_stdout(const char *bytes, std::size_t size) { std::fwrite(bytes, 1, size, stdout); }

HANDLE console = nullptr;

// A console takes a piece whole or not at all; one it refuses has nowhere
// else to be said.
void write_console(const WCHAR *units, std::size_t count) {
    DWORD written = 0;
    WriteConsoleW(console, units, static_cast<DWORD>(count), &written, nullptr);
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

// A message is gathered as UTF-8 in a small buffer and leaves in as few
// writes as its size allows; a text of any length streams through it.
constexpr int CHUNK = 256;

struct Chunk {
    char bytes[CHUNK];
    int used;
};

// Hands out the first `size` bytes, as UTF-16 to a console, and keeps the
// rest for the next piece.
void flush(Chunk &c, int size) {
    if (size == 0) return;
    if (unit_sink != nullptr) {
        WCHAR units[CHUNK];
        int count = MultiByteToWideChar(CP_UTF8, 0, c.bytes, size, units, CHUNK);
        unit_sink(units, static_cast<std::size_t>(count));
    } else {
        byte_sink(c.bytes, static_cast<std::size_t>(size));
    }
    c.used -= size;
    std::memmove(c.bytes, c.bytes + size, static_cast<std::size_t>(c.used));
}

// Takes UTF-8 text. A full buffer goes out up to where its last character
// starts, so a piece never ends inside a character.
void put_bytes(Chunk &c, const char *bytes, int size) {
    for (int i = 0; i < size; ++i) {
        if (c.used == CHUNK) {
            int start = c.used - 1;
            while ((c.bytes[start] & 0xC0) == 0x80) --start;
            flush(c, start);
        }
        c.bytes[c.used++] = bytes[i];
    }
}

// Wide text, converted a slice at a time by the platform (an unpaired
// surrogate becomes U+FFFD there). A slice never ends between the two
// halves of a surrogate pair.
void put_wide(Chunk &c, const WCHAR *text) {
    constexpr int SLICE = 64;
    char bytes[SLICE * 3];
    for (int len = 0; *text != 0; text += len) {
        len = 0;
        while (len < SLICE && text[len] != 0) ++len;
        if (len == SLICE && IS_HIGH_SURROGATE(text[len - 1])) --len;
        int size =
            WideCharToMultiByte(CP_UTF8, 0, text, len, bytes, sizeof bytes, nullptr, nullptr);
        put_bytes(c, bytes, size);
    }
}

struct Argument {
    const WCHAR *text;
    long long number;
};
using Arguments = Argument[2];

// The conversions the messages use (%ls, %lu, %d, %%); each takes the
// next of `count` arguments. Anything else is printed as it stands.
void emit(const char *format, const Arguments &args, int count) {
    choose_way_out();
    Chunk c;
    c.used = 0;
    int next = 0;
    for (const char *f = format; *f != 0;) {
        bool wide = std::strncmp(f, "%ls", 3) == 0;
        bool number = std::strncmp(f, "%lu", 3) == 0 || std::strncmp(f, "%d", 2) == 0;
        if ((wide || number) && next < count) {
            const Argument &a = args[next++];
            if (wide) {
                put_wide(c, a.text);
            } else {
                char digits[24];
                char *end = std::to_chars(digits, digits + sizeof digits, a.number).ptr;
                put_bytes(c, digits, static_cast<int>(end - digits));
            }
            f += f[1] == 'd' ? 2 : 3;
        } else {
            put_bytes(c, f, 1);
            f += std::strncmp(f, "%%", 2) == 0 ? 2 : 1;
        }
    }
    flush(c, c.used);
}

}  // namespace

void say(const char *format) { emit(format, {}, 0); }

void say_text(const char *format, const WCHAR *text) { emit(format, {{text, 0}}, 1); }

void say_texts(const char *format, const WCHAR *first, const WCHAR *second) {
    emit(format, {{first, 0}, {second, 0}}, 2);
}

void say_code(const char *format, DWORD code) { emit(format, {{TEXT(""), code}}, 1); }

void say_count(const char *format, int count) { emit(format, {{TEXT(""), count}}, 1); }

void set_output_sink(OutputSink sink) {
    byte_sink = sink;
    unit_sink = nullptr;
}

void set_console_sink(ConsoleSink sink) {
    unit_sink = sink;
    byte_sink = nullptr;
}
