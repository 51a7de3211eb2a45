// What an operator reads: the tool run with its standard output on a
// terminal that tmux draws, and the screen read back as text, for the
// native build on the stand-in and for shamrig.exe on Wine's console. A
// file of the output proves its bytes; only the screen proves what a
// person sees.
#include "harness.h"
#include "platforms.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

using namespace harness;

namespace {

// A terminal the tool runs on, and the platform that runs the tool there.
struct Terminal {
    platforms::Facts facts;
    std::vector<std::string> command;  // the tool, to which the arguments are added
    Options env;
};

struct Screen {
    std::vector<std::string> args;
    bool plain_user;  // run as a plain user, where the token follows the user
    int status;
    std::function<std::string(const Terminal &)> text;  // after the banner and any warning
};

// Long enough to cross the tool's 256-byte output buffer many times: about
// 2.8 KB of Chinese, full-width punctuation and check marks.
std::string long_word() {
    std::string w;
    for (int i = 0; i < 110; ++i) w += "演练（第" + std::to_string(i) + "）：假设备，✔";
    return w;
}

// clang-format off
const std::vector<Screen> SCREENS = {
    {{}, false, 1, [](const Terminal &) { return USAGE; }},
    {{"list"}, true, 0, [](const Terminal &) { return listed({}); }},
    {{long_word()}, false, 1, [](const Terminal &) { return unknown_word(long_word()); }},
    {{"表情😀"}, false, 1, [](const Terminal &t) {
         return unknown_word("表情" + std::string(t.facts.emoji_on_console)); }},
    {{"create"}, false, 0, [](const Terminal &) { return created(ID0); }},
    {{"list"}, false, 0, [](const Terminal &) { return listed({ID0}); }},
    {{"remove"}, false, 0, [](const Terminal &t) { return removing(1) + status(t.facts.removes, ID0); }},
};
// clang-format on

// The lines a screen shows, without the blank ones at its end; a screen
// keeps no spaces at the end of a line.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines = split(text, '\n');
    for (auto &line : lines) line.erase(line.find_last_not_of(' ') + 1);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

// Names the first line that differs, cut short: a screen can be long.
void expect_same_lines(const std::vector<std::string> &shown,
                       const std::vector<std::string> &meant) {
    for (std::size_t i = 0; i < std::max(shown.size(), meant.size()); ++i) {
        std::string a = i < shown.size() ? shown[i] : "(no line)";
        std::string b = i < meant.size() ? meant[i] : "(no line)";
        if (a != b) {
            ADD_FAILURE() << "line " << i << " of the screen:\n  shown: " << a.substr(0, 160)
                          << "\n  meant: " << b.substr(0, 160);
            return;
        }
    }
}

class OnScreen : public ::testing::Test {
protected:
    TempDir dir;
    std::string root = dir.path + "/tree";
    std::string socket = "shamrig-screen-" + std::to_string(::getpid()) + "-";
    Options tmux_env{{{"LC_ALL", "C.UTF-8"}}, false};
    int runs = 0;

    void TearDown() override {
        for (int n = 0; n < runs; ++n) tmux(n, {"kill-server"});
    }

    // Each run has a tmux server of its own: a server whose last session
    // has gone exits, and a new session must not race it.
    Result tmux(int n, const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"-L", socket + std::to_string(n), "-f", "/dev/null", "-u"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run("tmux", argv, root, tmux_env);
    }

    // Runs the command in a new 3000-column pane and reads back its screen
    // once the command has ended; the pane stays until then.
    // The screen is read again until it shows `meant`, for at most two
    // seconds, or until it has not changed for a fifth of one: the terminal
    // may draw the last of the output after the command has ended, later
    // the busier the machine is.
    std::pair<int, std::string> on_screen(const std::vector<std::string> &command,
                                          const std::vector<std::string> &meant) {
        int n = runs++;
        std::string status = dir.path + "/status" + std::to_string(n);
        std::string line;
        for (const auto &word : command) line += sh_quote(word) + " ";
        line += "; echo $? >" + sh_quote(status + ".tmp") + "; mv " + sh_quote(status + ".tmp") +
                " " + sh_quote(status) + "; exec sleep 600";
        Result r = tmux(n, {"new-session", "-d", "-x", "3000", "-y", "60", line});
        EXPECT_EQ(r.status, 0) << r.err;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (r.status == 0 && !std::filesystem::exists(status) &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Result screen = tmux(n, {"capture-pane", "-p", "-J", "-S", "-"});
        for (int tries = 0, same = 0; tries < 100 && same < 10 && lines_of(screen.out) != meant;
             ++tries) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Result again = tmux(n, {"capture-pane", "-p", "-J", "-S", "-"});
            same = again.out == screen.out ? same + 1 : 0;
            screen = again;
        }
        tmux(n, {"kill-server"});
        std::string code = read_file(status);
        return {code.empty() ? -1 : std::atoi(code.c_str()), screen.out};
    }

    void expect_screens(const Terminal &t) {
        tmux_env.env.insert(tmux_env.env.end(), t.env.env.begin(), t.env.env.end());
        for (const auto &s : SCREENS) {
            std::string shown = s.args.empty() ? "(no word)" : s.args[0].substr(0, 24);
            SCOPED_TRACE(std::string(t.facts.name) + ": " + shown +
                         (s.plain_user ? " as a plain user" : ""));
            std::vector<std::string> command;
            bool plain = s.plain_user && t.facts.follows_user;
            if (plain) command = as_nobody_prefix();
            command.insert(command.end(), t.command.begin(), t.command.end());
            command.insert(command.end(), s.args.begin(), s.args.end());
            bool warned = plain || !t.facts.plainly_elevated;
            auto meant = lines_of(BANNER + (warned ? WARNING : "") + s.text(t));
            auto [status, screen] = on_screen(command, meant);
            EXPECT_EQ(status, s.status);
            expect_same_lines(lines_of(screen), meant);
            if (HasFailure()) return;  // the first wrong screen says enough
        }
    }
};

TEST_F(OnScreen, NativeTerminal) {
    if (!is_root()) GTEST_SKIP() << "needs root to show the warning to a plain user";
    expect_screens({platforms::facts(platforms::STAND_IN), {shamrig_exe()}, {}});
}

// Run by the Windows build's CTest, in its prefix, on its shamrig.exe (SHAMRIG_WINDOWS_EXE).
TEST_F(OnScreen, WineConsole) {
    const char *exe = std::getenv("SHAMRIG_WINDOWS_EXE");
    const char *prefix = std::getenv("WINEPREFIX");
    if (exe == nullptr || prefix == nullptr) GTEST_SKIP() << "run by the Windows build's CTest";
    const std::string wine = "/usr/lib/wine/wine64";
    const Options wine_env{{{"WINEPREFIX", prefix}, {"WINEDEBUG", "-all"}}, false};
    // Which Wine it is decides whether a plainly started process is elevated.
    std::string version = run(wine, {"--version"}, root).out;  // wine-10.0 (Debian ...)
    version = version.substr(std::min(version.size(), version.find('-') + 1));
    expect_screens({platforms::facts(platforms::WINE, version), {wine, exe}, wine_env});
}

}  // namespace
