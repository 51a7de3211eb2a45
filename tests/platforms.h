// The platforms the suite runs the tool on, and every way in which they are
// known to differ, in one table (platforms.cpp). Tests take what they
// expect from here and never skip a platform for being different.
#pragma once

#include <vector>

namespace platforms {

enum Kind { STAND_IN, WINE, WINDOWS };

struct Facts {
    const char *name;
    // An elevated `remove` takes the fake devices out (Wine 8.0's
    // SetupDiSetClassInstallParamsW is a stub, so there it cannot).
    bool removes;
    // The token says elevated whoever runs the tool (Wine), so the
    // elevation warning cannot be shown there.
    bool always_elevated;
    // How a line of redirected output ends: the Windows C runtime writes
    // text, the stand-in bytes.
    const char *newline;
    // What the console shows for U+1F600, outside the Basic Multilingual
    // Plane; Wine's console shows each half of its surrogate pair as U+FFFD.
    const char *emoji_on_console;
};

// The platform this test program runs on: the stand-in, or, built for
// Windows, Wine or Windows as told at run time (only Wine's ntdll exports
// wine_get_version).
Kind this_platform();
const Facts &facts(Kind kind);

// The platform probe's questions with what each platform answers. No
// answer (null) means that it is not known there: any answer is taken and
// printed, so that it can be written down. Windows' answers are known only
// from a source, named beside each: a conformance check of Wine's SetupAPI
// tests that passes on Windows (dlls/setupapi/tests/devinst.c, with its
// test function), or Microsoft's documentation.
struct WindowsAnswer {
    const char *answer;
    const char *source;
};

struct ProbeFact {
    const char *fact;
    const char *stand_in;
    const char *wine;
    WindowsAnswer windows;
};
const std::vector<ProbeFact> &probe_facts();
const char *probe_answer(const ProbeFact &fact, Kind kind);

}  // namespace platforms
