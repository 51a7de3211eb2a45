// The tool's one path to standard output. Every message is formatted here
// by one routine into UTF-8, with the platform's own conversion for wide
// text; only the last step differs. A console is given UTF-16 through
// WriteConsoleW, as the platform's own tools do, because bytes that reach a
// console through the C runtime are re-read there and shown as mojibake.
// Anything else (a file, a pipe) is given UTF-8 bytes through the C
// runtime, so on Windows a line ends in CRLF as Windows text does. The C
// runtimes' wide output is not used: glibc refuses wprintf once a stream
// has seen printf, and the Windows runtime drops every non-ASCII character
// of a wide format in its default locale.
#pragma once

#include "devinst.h"

#include <cstddef>

// Print a message of messages.h with its arguments in order: %ls takes a
// wide text, %lu an error code, %d a count.
void say(const char *format);
void say_text(const char *format, const WCHAR *text);
void say_texts(const char *format, const WCHAR *first, const WCHAR *second);
void say_code(const char *format, DWORD code);
void say_count(const char *format, int count);

// Where the text goes. Unless a test says otherwise, standard output is
// asked once whether it is a console (GetConsoleMode) and gets UTF-16 if
// it is, UTF-8 bytes if not. Setting a sink picks that way out; nullptr
// gives the choice back to standard output. Every piece a sink is handed
// is whole text: no UTF-8 sequence or surrogate pair is ever split.
using OutputSink = void (*)(const char *bytes, std::size_t size);
using ConsoleSink = void (*)(const WCHAR *units, std::size_t count);
void set_output_sink(OutputSink sink);
void set_console_sink(ConsoleSink sink);
