// The process entry of a program built on the stand-in: the arguments come
// as bytes here, so they are decoded as UTF-8 and handed to wmain as UTF-16,
// as the Windows start-up code hands over its wide command line.
#include "pnpsim.h"
#include "text.h"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char **argv) {
    // Windows has no SIGPIPE: a write to a pipe whose reader has gone fails,
    // and the program goes on (`shamrig remove | more` quit early still
    // removes every device). Here too.
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::u16string> args;
    args.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) args.push_back(pnpsim::utf16_from_utf8(argv[i]));
    std::vector<WCHAR *> wargv;
    wargv.reserve(args.size() + 1);
    for (auto &a : args) wargv.push_back(a.data());
    wargv.push_back(nullptr);
    return wmain(argc, wargv.data());
}
