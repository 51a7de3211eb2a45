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
//  - Removal parameters: Wine 8.0's SetupDiSetClassInstallParamsW is a
//    stub that fails without setting an error (what is left is 2).
//  - DIGCF_PRESENT: Wine 8.0 lists phantoms too.
//  - An element whose node was removed and made again by another set: the
//    stand-in refuses to register it, Wine 8.0 registers it.
//  - The token: Wine always says elevated; the stand-in says so for root;
//    on Windows the suite runs elevated or not at all.
std::vector<ProbeFact> make_probe_facts() {
    const char *id0 = "ROOT\\VELMORASTIXTEST\\0000";
    const char *id1 = "ROOT\\VELMORASTIXTEST\\0001";
    const char *id3 = "ROOT\\VELMORASTIXTEST\\0003";
    const char *legacy = "ROOT\\LEGACY_BOGUS\\0002";
    const char *usb = "USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7";
    const char *exists = "error 3758096903";
    const char *bad_name = "error 3758096901";
    const char *elevated = "1, size 4";
    const char *no_key = "error 3758096900";
#if defined(_WIN32)
    const char *token = elevated;
#else
    const char *token = ::geteuid() == 0 ? elevated : "0, size 4";
#endif
    const WindowsAnswer unknown = {nullptr, nullptr};
    const char *device_info = "devinst.c test_device_info";
    const char *instance_id = "devinst.c test_get_device_instance_id";
    const char *register_info = "devinst.c test_register_device_info";
    const char *cm_docs = "Microsoft's documentation: CM_Get_Device_IDW";
    const char *x199 = "ROOT\\LEGACY_BOGUS\\XX";
    const char *desc = "Velmo-Rastix Test Device";
    const char *removed = "removed, not listed in a new set";
    // clang-format off
    return {
        {"sizes", "32 8 16", "32 8 16", {"32 8 16", "Microsoft's documentation: SP_DEVINFO_DATA"}},
        {"generated id", id0, id0, {id0, instance_id}},
        {"next generated id", id1, id1, {id1, instance_id}},
        {"full id", legacy, legacy, {legacy, device_info}},
        {"mixed-case id", usb, usb, unknown},
        {"existing id", exists, exists, {exists, device_info}},
        {"existing id, other case", exists, exists, unknown},
        {"generated name with backslash", bad_name, bad_name, unknown},
        {"199 characters", x199, x199, {x199, device_info}},
        {"200 characters", bad_name, bad_name, {bad_name, device_info}},
        {"unregistered element, in a new set", "listed", "listed", unknown},
        {"unregistered element, in a new set of present devices", "not listed", "listed",
         {"not listed", "Microsoft's documentation: SetupDiGetClassDevsW, DIGCF_PRESENT"}},
        {"registered device, in a new set of present devices", "listed", "listed", unknown},
        {"generated id beside another set's unregistered element", id3, id3, {id3, instance_id}},
        {"element of another set", "error 87", "error 87", {"error 87", register_info}},
        {"description of a new element", desc, desc, unknown},
        {"DIF_REMOVE of an unregistered element", removed, removed, {removed, device_info}},
        {"unregistered elements after their sets", "gone", "gone", {"gone", register_info}},
        {"registering an element whose node another set made again", "error 3758096907", "registered", unknown},
        {"that node, after the first set is destroyed", "listed", "listed", unknown},
        {"order within a device name", "BAR FOO QUX", "BAR FOO QUX", {"BAR FOO QUX", "devinst.c test_get_class_devs"}},
        {"past the last element", "error 259", "error 259", {"error 259", device_info}},
        {"enumeration in ascending ID order", "yes", "yes", unknown},
        {"device added after the set was made is in it", "no", "no", unknown},
        {"CM_Get_Device_IDW into 21 units", "CR 26, 000", "CR 0, 00~", {"CR 26, 000", cm_docs}},
        {"CM_Get_Device_IDW into 22 units", "CR 0, 002", "CR 0, 00~", {"CR 0, 002", cm_docs}},
        {"CM_Get_Device_IDW into 23 units", "CR 0, 02~", "CR 0, 02~", {"CR 0, 02~", cm_docs}},
        {"hardware key of a registered device", no_key, no_key, {no_key, "devinst.c test_device_key"}},
        {"removal parameters accepted", "yes", "error 2",
         {"yes", "Microsoft's documentation: SetupDiSetClassInstallParamsW"}},
        {"DIF_REMOVE alone", removed, removed, {removed, register_info}},
        {"generated id after removal", id0, id0, unknown},
        {"token elevation", token, elevated, {token, "Microsoft's documentation: TOKEN_ELEVATION"}},
    };
    // clang-format on
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
    return kind == STAND_IN ? fact.stand_in : kind == WINE ? fact.wine : fact.windows.answer;
}

}  // namespace platforms
