// The tool's one path to standard output. Wide text is turned into UTF-8
// here (U+FFFD for an unpaired surrogate) and everything leaves as bytes,
// because the C runtimes lose wide output: glibc refuses wprintf once a
// stream has seen printf, and the Windows runtime drops every non-ASCII
// character of a wide format in its default locale.
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

// Where the bytes go; standard output unless a test says otherwise.
using OutputSink = void (*)(const char *bytes, std::size_t size);
void set_output_sink(OutputSink sink);
