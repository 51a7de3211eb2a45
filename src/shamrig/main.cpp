// The entry point: console set-up, banner, elevation warning, and the one
// command the command word names.
#include "device/console_out.h"
#include "device/fake_device.h"
#include "device/messages.h"

#include <cstdio>

namespace {

// Never stops the run: a token that can't be opened or asked counts as not
// elevated, and the platform itself refuses what needs elevation.
void check_elevation() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        say(MSG_NOT_ELEVATED);
        return;
    }
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    BOOL asked = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    CloseHandle(token);
    if (!asked || elevation.TokenIsElevated == 0) say(MSG_NOT_ELEVATED);
}

}  // namespace

extern "C" int wmain(int argc, WCHAR **argv) {
    SetConsoleOutputCP(CP_UTF8);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    say(MSG_BANNER);
    check_elevation();
    if (argc <= 1) {
        say(MSG_USAGE);
        return 1;
    }
    // Only the first word counts; any after it are ignored.
    const WCHAR *word = argv[1];
    if (_wcsicmp(word, WORD_CREATE) == 0) return dev_create();
    if (_wcsicmp(word, WORD_REMOVE) == 0) {
        dev_remove();
        return 0;
    }
    if (_wcsicmp(word, WORD_LIST) == 0) {
        dev_list();
        return 0;
    }
    say_text(MSG_UNKNOWN_WORD, word);
    return 1;
}
