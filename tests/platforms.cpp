#include "platforms.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace platforms {

namespace {

const Facts FACTS[] = {
    {"stand-in", true, false, "\n", "😀"},
    {"wine", false, true, "\r\n", "\uFFFD\uFFFD"},
    {"windows", true, false, "\r\n", "😀"},
};

// Where the platforms differ:
//  - CM_Get_Device_IDW: the stand-in does what Windows documents (a buffer
//    too small gets CR_BUFFER_SMALL; an exact fit is filled without NUL);
//    Wine copies what fits less one unit, ends it with NUL and says
//    CR_SUCCESS. The tool reads into 511 units of 512, safe under both.
//  - The hardware key: Wine has none for a device without a driver; the
//    stand-in keeps one so the tool's values can be inspected.
//  - Removal parameters: Wine 8.0's SetupDiSetClassInstallParamsW is a
//    stub that fails without setting an error (what is left is 2).
//  - The token: Wine always says elevated; the stand-in says so for root;
//    on Windows the suite runs elevated or not at all.
// Not measured on Windows: instance IDs under another enumerator than
// ROOT, the order of enumeration, and the hardware key.
std::vector<ProbeFact> make_probe_facts() {
    const char *id0 = "ROOT\\VELMORASTIXTEST\\0000";
    const char *id1 = "ROOT\\VELMORASTIXTEST\\0001";
    const char *legacy = "ROOT\\LEGACY_BOGUS\\0002";
    const char *usb = "USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7";
    const char *exists = "error 3758096903";
    const char *bad_name = "error 3758096901";
    const char *elevated = "1, size 4";
#if defined(_WIN32)
    const char *token = elevated;
#else
    const char *token = ::geteuid() == 0 ? elevated : "0, size 4";
#endif
    return {
        {"sizes", "32 8 16", "32 8 16", "32 8 16"},
        {"generated id", id0, id0, id0},
        {"next generated id", id1, id1, id1},
        {"full id", legacy, legacy, legacy},
        {"mixed-case id", usb, usb, nullptr},
        {"existing id", exists, exists, exists},
        {"existing id, other case", exists, exists, exists},
        {"generated name with backslash", bad_name, bad_name, bad_name},
        {"199 characters", "ROOT\\XXX", "ROOT\\XXX", "ROOT\\XXX"},
        {"200 characters", bad_name, bad_name, bad_name},
        {"unregistered element after its set", "not found", "not found", "not found"},
        {"past the last element", "error 259", "error 259", "error 259"},
        {"enumeration in ascending ID order", "yes", "yes", nullptr},
        {"device added after the set was made is in it", "no", "no", "no"},
        {"CM_Get_Device_IDW into 21 units", "CR 26, 000", "CR 0, 00~", "CR 26, 000"},
        {"CM_Get_Device_IDW into 22 units", "CR 0, 002", "CR 0, 00~", "CR 0, 002"},
        {"CM_Get_Device_IDW into 23 units", "CR 0, 02~", "CR 0, 02~", "CR 0, 02~"},
        {"hardware key of a registered device", "opened", "error 3758096900", nullptr},
        {"removal parameters accepted", "yes", "error 2", "yes"},
        {"DIF_REMOVE alone", "removed", "removed", "removed"},
        {"removed device found again", "not found", "not found", "not found"},
        {"generated id after removal", id0, id0, id0},
        {"token elevation", token, elevated, token},
    };
}

}  // namespace

Kind this_platform() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr ? WINE
                                                                                    : WINDOWS;
#else
    return STAND_IN;
#endif
}

const Facts &facts(Kind kind) { return FACTS[kind]; }

const std::vector<ProbeFact> &probe_facts() {
    static const std::vector<ProbeFact> all = make_probe_facts();
    return all;
}

const char *probe_answer(const ProbeFact &fact, Kind kind) {
    return kind == STAND_IN ? fact.stand_in : kind == WINE ? fact.wine : fact.windows;
}

}  // namespace platforms
