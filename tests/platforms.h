// The platforms the suite runs the tool on, and every way in which they are
// known to differ, in one table (platforms.cpp). Tests take what they
// expect from here and never skip a platform for being different.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platforms {

enum Kind { STAND_IN, WINE, WINDOWS };

// How a platform behaves where the scenario and the screens depend on it.
// An empty answer is not known for that platform: no test there reads it,
// and the docs' table says so.
struct Facts {
    const char *name;
    // An elevated `remove` takes the fake devices out.
    bool removes;
    // A process started plainly (by the suite's user, no manifest asking
    // for elevation) has an elevated token.
    bool plainly_elevated;
    // Whether a process is elevated depends on its user.
    bool follows_user;
    // A process whose token is not elevated (a plain user's on the
    // stand-in, a restricted token with Administrators deny-only on
    // Windows and Wine): whether it is told so, and whether the platform
    // lets it create and remove devices.
    std::optional<bool> warns_not_elevated;
    bool not_elevated_writes;
    // A `create` that dies between creating its element and registering it
    // leaves the element's node, a phantom, that `list` shows and `remove`
    // takes away.
    std::optional<bool> killed_create_leaves_phantom;
    // How a line of redirected output ends.
    const char *newline;
    // What the console shows for U+1F600, outside the Basic Multilingual
    // Plane; null where no screen is read.
    const char *emoji_on_console;
};

// The platform this test program runs on: the stand-in, or, built for
// Windows, Wine or Windows as told at run time (only Wine's ntdll exports
// wine_get_version).
Kind this_platform();
// The version Wine reports ("8.0", "10.0"), where this program runs on
// Wine; "" elsewhere.
std::string this_wine_version();
// A platform's facts; Wine's depend on its version, as Wine reports it.
const Facts &facts(Kind kind, const std::string &wine_version = this_wine_version());

// The platform probe's questions with what each platform answers. No
// answer (null) means that it is not known there: any answer is taken and
// printed, so that it can be written down. Windows' answers are known only
// from a source, named beside each: a conformance check of Wine's SetupAPI
// tests that passes on Windows (dlls/setupapi/tests/devinst.c, with its
// test function and what it checks), or Microsoft's documentation. Where
// the source settles all but the letter case (its names are upper case
// already), Windows' answer is compared without regard to it.
struct WindowsAnswer {
    const char *answer;
    const char *source;
    bool any_case = false;
};

struct ProbeFact {
    const char *fact;
    const char *stand_in;
    const char *wine;
    WindowsAnswer windows;
};
const std::vector<ProbeFact> &probe_facts();
const char *probe_answer(const ProbeFact &fact, Kind kind);

// Every fact above, for every platform, with the source of each Windows
// answer: the platforms' table of docs/platforms.md, in Markdown, which a
// test holds equal to the copy there (`platform_probe table` prints it).
std::string docs_table();

// The answers file ($SHAMRIG_ANSWERS; nothing is written when it is not
// set): one line per answer, its fields separated by TABs, a TAB, a line
// feed, a carriage return and a backslash within a field written as \t,
// \n, \r and \\. A writing process first names its platform:
//   platform  NAME  VERSION
//   probe     FACT  STATE  ANSWER  EXPECTED  STAND-IN  WINDOWS
//             (STATE: known, unknown or differs; EXPECTED, STAND-IN and
//             WINDOWS are the table's cells, - where it has none)
//   step      WHAT  TEXT            (a scenario step no source states)
// scripts/answers.sh reads it back.
void write_answer(const std::vector<std::string> &fields);
// The Windows build number (10.0.NNNNN), Wine's version, or "-".
std::string this_version();

}  // namespace platforms
