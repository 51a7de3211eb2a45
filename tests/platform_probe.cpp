// Asks the platform the questions the tool's correctness rests on and
// prints one "fact: answer" line each. The same source runs on the stand-in
// and, built for Windows, on a real SetupAPI, so the two can be compared.
// `platform_probe table` prints the platforms' table of docs/platforms.md.
// `platform_probe phantom` creates one of the tool's devices and ends
// without registering it or destroying its set, as a `create` killed
// mid-way does. `platform_probe cleanup` takes away, the platform's own way
// (DIF_REMOVE alone, which works where the tool's removal is refused),
// every node the test suite can make and only those, naming each.
#include "device/fake_device.h"
#include "platforms.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const GUID &PROBE_CLASS = CAMERA_CLASS;

std::string narrow(const WCHAR *w) {
    std::string s;
    for (; *w != 0; ++w) s += *w < 0x80 ? static_cast<char>(*w) : '?';
    return s;
}

std::basic_string<WCHAR> wide(const std::string &s) {
    std::basic_string<WCHAR> w;
    for (char c : s) w += static_cast<WCHAR>(c);
    return w;
}

void fact(const char *name, const std::string &answer) {
    std::printf("%s: %s\n", name, answer.c_str());
}

std::string code(unsigned long c) { return "error " + std::to_string(c); }

const WCHAR *const DESC = DEVICE_DESC;

std::string id_of(const SP_DEVINFO_DATA &dev) {
    WCHAR id[512];
    std::memset(id, 0, sizeof id);
    CM_Get_Device_IDW(dev.DevInst, id, 511, 0);
    return narrow(id);
}

// Creates an element in `set` (a new one when not given) and registers it
// when asked; the ID it got, or the error.
std::string add(const std::string &name, DWORD flags, bool reg = true,
                HDEVINFO set = INVALID_HANDLE_VALUE, SP_DEVINFO_DATA *kept = nullptr) {
    bool own = set == INVALID_HANDLE_VALUE;
    if (own) set = SetupDiCreateDeviceInfoList(&PROBE_CLASS, nullptr);
    if (set == INVALID_HANDLE_VALUE) return code(GetLastError());
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    bool ok = SetupDiCreateDeviceInfoW(set, wide(name).c_str(), &PROBE_CLASS, DESC, nullptr, flags,
                                       &dev) &&
              (!reg || SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev));
    std::string out = ok ? id_of(dev) : code(GetLastError());
    if (kept != nullptr) *kept = dev;
    if (own) SetupDiDestroyDeviceInfoList(set);
    return out;
}

// Finds a device by ID in a fresh set of every class, made with `flags`,
// and runs `what` on it.
template <typename What>
std::string with_device(const std::string &id, What what, DWORD flags = DIGCF_ALLCLASSES) {
    HDEVINFO set = SetupDiGetClassDevsW(&PROBE_CLASS, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) return code(GetLastError());
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    std::string out = "not listed";
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        if (_wcsicmp(wide(id_of(dev)).c_str(), wide(id).c_str()) == 0) {
            out = what(set, dev);
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

std::string is_listed(const std::string &id, DWORD flags = DIGCF_ALLCLASSES) {
    auto listed = [](auto, auto &) { return std::string("listed"); };
    return with_device(id, listed, flags);
}

// The units or bytes of a conversion's output in hexadecimal, the size it
// asked for (no buffer given), or the error.
template <typename Unit>
std::string converted(int n, const Unit *out, bool sized) {
    if (n == 0) return code(GetLastError());
    if (sized) return "size " + std::to_string(n);
    std::string hex;
    for (int i = 0; i < n; ++i) {
        char h[8];
        std::snprintf(h, sizeof h, "%s%0*X", i > 0 ? " " : "", static_cast<int>(sizeof(Unit)) * 2,
                      static_cast<unsigned>(out[i]) & (sizeof(Unit) == 1 ? 0xFFU : 0xFFFFU));
        hex += h;
    }
    return hex;
}

std::string to_utf8(const std::basic_string<WCHAR> &text, int length, int size) {
    char out[16];
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), length, size == 0 ? nullptr : out, size,
                                nullptr, nullptr);
    return converted(n, out, size == 0);
}

std::string to_utf16(const std::string &bytes, int length, int size) {
    WCHAR out[16];
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.c_str(), length, size == 0 ? nullptr : out, size);
    return converted(n, out, size == 0);
}

// The tool's own nodes (ROOT\VELMORASTIXTEST\ and four digits) and the
// probe's: every node the test suite can make.
bool made_by_the_suite(const std::string &id) {
    const std::string own = "ROOT\\VELMORASTIXTEST\\";
    const std::string bogus = "ROOT\\LEGACY_BOGUS\\";
    auto is = [&id](const std::string &node, std::size_t n) {
        return _wcsnicmp(wide(id).c_str(), wide(node).c_str(), n) == 0;
    };
    if (id.size() == own.size() + 4 && is(own, own.size())) {
        return id.find_first_not_of("0123456789", own.size()) == std::string::npos;
    }
    for (const std::string &node : {bogus + "0002", bogus + "FOO", bogus + "QUX", bogus + "BAR",
                                    bogus + std::string(199 - bogus.size(), 'X'),
                                    std::string("USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7"),
                                    std::string("ROOT\\ADDED_LATER\\0000")}) {
        if (is(node, std::string::npos)) return true;
    }
    return false;
}

// Takes away what the suite made, the platform's own way, naming each when
// told to; 1 when a removal failed.
int cleanup(bool tell) {
    HDEVINFO set = SetupDiGetClassDevsW(&PROBE_CLASS, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return 1;
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    int status = 0;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        std::string id = id_of(dev);
        if (!made_by_the_suite(id)) continue;
        bool removed = SetupDiCallClassInstaller(DIF_REMOVE, set, &dev);
        if (tell) fact(id.c_str(), removed ? "removed" : code(GetLastError()));
        status = removed ? status : 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    return status;
}

std::string remove_device(const std::string &id) {
    return with_device(id, [](HDEVINFO set, SP_DEVINFO_DATA &dev) {
        return SetupDiCallClassInstaller(DIF_REMOVE, set, &dev) ? std::string("removed")
                                                                : code(GetLastError());
    });
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "phantom") == 0) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&PROBE_CLASS, nullptr);
        std::string id = add("VelmoRastixTest", DICD_GENERATE_ID, false, set);
        std::printf("%s\n", id.c_str());
        std::fflush(stdout);
        // Ended at once, the set left as a killed process leaves it.
        std::_Exit(id.rfind("error", 0) == 0 ? 1 : 0);
    }
    if (argc > 1 && std::strcmp(argv[1], "cleanup") == 0) return cleanup(true);
    if (argc > 1 && std::strcmp(argv[1], "table") == 0) {
        std::fputs(platforms::docs_table().c_str(), stdout);
        return 0;
    }
    fact("sizes", std::to_string(sizeof(SP_DEVINFO_DATA)) + " " +
                      std::to_string(sizeof(SP_CLASSINSTALL_HEADER)) + " " +
                      std::to_string(sizeof(SP_REMOVEDEVICE_PARAMS)));
    fact("generated id", add("VelmoRastixTest", DICD_GENERATE_ID));
    fact("next generated id", add("VelmoRastixTest", DICD_GENERATE_ID));
    fact("full id", add("Root\\LEGACY_BOGUS\\0002", 0));
    fact("mixed-case id", add("Usb\\Vid_1234&Pid_5678\\velmorastixtest-7", 0));
    fact("existing id", add("ROOT\\LEGACY_BOGUS\\0002", 0));
    fact("existing id, other case", add("root\\legacy_bogus\\0002", 0));
    fact("generated name with backslash", add("A\\B", DICD_GENERATE_ID));
    const std::string bogus = "Root\\LEGACY_BOGUS\\";  // as the conformance checks write it
    fact("199 characters", add(bogus + std::string(199 - bogus.size(), 'x'), 0).substr(0, 20));
    fact("200 characters", add(bogus + std::string(200 - bogus.size(), 'y'), 0));

    // Elements made and not registered, in two sets at once.
    HDEVINFO a = SetupDiCreateDeviceInfoList(&PROBE_CLASS, nullptr);
    HDEVINFO b = SetupDiCreateDeviceInfoList(&PROBE_CLASS, nullptr);
    SP_DEVINFO_DATA in_a;
    SP_DEVINFO_DATA in_b;
    std::string phantom = add("VelmoRastixTest", DICD_GENERATE_ID, false, a, &in_a);
    fact("unregistered element, in a new set", is_listed(phantom));
    fact("unregistered element, in a new set of present devices",
         is_listed(phantom, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    fact("registered device, in a new set of present devices",
         is_listed("ROOT\\VELMORASTIXTEST\\0000", DIGCF_ALLCLASSES | DIGCF_PRESENT));
    fact("generated id beside another set's unregistered element",
         add("VelmoRastixTest", DICD_GENERATE_ID, false, b, &in_b));
    fact("element of another set", SetupDiCallClassInstaller(DIF_REGISTERDEVICE, b, &in_a)
                                       ? "registered"
                                       : code(GetLastError()));
    BYTE desc[128];
    std::memset(desc, 0, sizeof desc);
    fact("description of a new element",
         SetupDiGetDeviceRegistryPropertyW(a, &in_a, SPDRP_DEVICEDESC, nullptr, desc,
                                           sizeof desc - 2, nullptr)
             ? narrow(reinterpret_cast<const WCHAR *>(desc))
             : code(GetLastError()));
    std::string second = id_of(in_b);
    fact("DIF_REMOVE of an unregistered element",
         SetupDiCallClassInstaller(DIF_REMOVE, b, &in_b)
             ? "removed, " + is_listed(second) + " in a new set"
             : code(GetLastError()));
    SetupDiDestroyDeviceInfoList(a);
    SetupDiDestroyDeviceInfoList(b);
    fact("unregistered elements after their sets",
         is_listed(phantom) == "listed" ? "listed" : "gone");
    // A set whose element's node was removed, and made again by another set.
    HDEVINFO c = SetupDiCreateDeviceInfoList(&PROBE_CLASS, nullptr);
    HDEVINFO d = SetupDiCreateDeviceInfoList(&PROBE_CLASS, nullptr);
    SP_DEVINFO_DATA in_c;
    remove_device(add("VelmoRastixTest", DICD_GENERATE_ID, false, c, &in_c));
    std::string again = add("VelmoRastixTest", DICD_GENERATE_ID, false, d);
    fact("registering an element whose node another set made again",
         SetupDiCallClassInstaller(DIF_REGISTERDEVICE, c, &in_c) ? "registered"
                                                                 : code(GetLastError()));
    SetupDiDestroyDeviceInfoList(c);
    fact("that node, after the first set is destroyed", is_listed(again));
    SetupDiDestroyDeviceInfoList(d);

    for (const char *name : {"FOO", "QUX", "BAR"}) add(bogus + name, 0);
    HDEVINFO set = SetupDiGetClassDevsW(&PROBE_CLASS, nullptr, nullptr, DIGCF_ALLCLASSES);
    add("ROOT\\ADDED_LATER\\0000", 0);
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    std::string previous;
    bool sorted = true;
    bool later = false;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        std::string id = id_of(dev);
        sorted = sorted && _wcsicmp(wide(previous).c_str(), wide(id).c_str()) < 0;
        later = later || id == "ROOT\\ADDED_LATER\\0000";
        previous = id;
    }
    DWORD end = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    // The three of three characters, in a set of their enumerator's devices.
    set = SetupDiGetClassDevsW(nullptr, TEXT("ROOT\\LEGACY_BOGUS"), nullptr, DIGCF_ALLCLASSES);
    std::string order;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        std::string id = id_of(dev);
        if (id.size() == bogus.size() + 3) {
            order += (order.empty() ? "" : " ") + id.substr(bogus.size());
        }
    }
    fact("order within a device name, its enumerator asked for", order);
    fact("past the last element", code(end));
    fact("enumeration in ascending ID order", sorted ? "yes" : "no");
    fact("device added after the set was made is in it", later ? "yes" : "no");
    SetupDiDestroyDeviceInfoList(set);

    // ROOT\LEGACY_BOGUS\0002 has 22 characters: what a buffer of 21, 22
    // and 23 units holds afterwards, and what the call returns.
    for (ULONG len : {21U, 22U, 23U}) {
        std::string name = "CM_Get_Device_IDW into " + std::to_string(len) + " units";
        fact(name.c_str(),
             with_device("ROOT\\LEGACY_BOGUS\\0002", [len](HDEVINFO, SP_DEVINFO_DATA &found) {
                 WCHAR buffer[32];
                 for (auto &unit : buffer) unit = '#';
                 CONFIGRET r = CM_Get_Device_IDW(found.DevInst, buffer, len, 0);
                 std::string held;
                 for (ULONG i = 0; i < len; ++i) {
                     held += buffer[i] == 0 ? '~' : static_cast<char>(buffer[i]);
                 }
                 return "CR " + std::to_string(r) + ", " + held.substr(held.size() - 3);
             }));
    }
    fact("hardware key of a registered device",
         with_device("ROOT\\VELMORASTIXTEST\\0000", [](HDEVINFO s, SP_DEVINFO_DATA &found) {
             HKEY key =
                 SetupDiOpenDevRegKey(s, &found, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
             if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) return code(GetLastError());
             RegCloseKey(key);
             return std::string("opened");
         }));
    fact("removal parameters accepted",
         with_device("ROOT\\VELMORASTIXTEST\\0000", [](HDEVINFO s, SP_DEVINFO_DATA &found) {
             SP_REMOVEDEVICE_PARAMS p;
             std::memset(&p, 0, sizeof p);
             p.ClassInstallHeader.cbSize = sizeof p.ClassInstallHeader;
             p.ClassInstallHeader.InstallFunction = DIF_REMOVE;
             p.Scope = DI_REMOVEDEVICE_GLOBAL;
             return SetupDiSetClassInstallParamsW(s, &found, &p.ClassInstallHeader, sizeof p)
                        ? std::string("yes")
                        : code(GetLastError());
         }));
    std::string removed = remove_device("ROOT\\VELMORASTIXTEST\\0000");
    fact("DIF_REMOVE alone",
         removed + ", " + is_listed("ROOT\\VELMORASTIXTEST\\0000") + " in a new set");
    fact("generated id after removal", add("VelmoRastixTest", DICD_GENERATE_ID));

    // Text conversion, as the tool converts its output.
    const std::basic_string<WCHAR> planes = {0xD800, 0xDC00, 0xDBFF, 0xDFFF, 0xFFFF};
    const std::basic_string<WCHAR> unpaired = {0xDE00, 'a', 0xD83D};
    const std::basic_string<WCHAR> han = {0x4E2D};
    fact("UTF-16 to UTF-8, U+10000 U+10FFFF U+FFFF", to_utf8(planes, 5, 16));
    fact("UTF-16 to UTF-8, unpaired surrogates", to_utf8(unpaired, 3, 16));
    fact("UTF-16 to UTF-8, size asked for, -1", to_utf8(han, -1, 0));
    fact("UTF-16 to UTF-8, too small a buffer", to_utf8(han, 1, 2));
    fact("UTF-8 to UTF-16, 41 FF 42", to_utf16("\x41\xFF\x42", 3, 16));
    fact("UTF-8 to UTF-16, overlong C0 AF", to_utf16("\xC0\xAF", 2, 16));
    fact("UTF-8 to UTF-16, encoded surrogate ED A0 80", to_utf16("\xED\xA0\x80", 3, 16));
    fact("UTF-8 to UTF-16, cut short E2 82 28", to_utf16("\xE2\x82(", 3, 16));
    fact("UTF-8 to UTF-16, size asked for, -1", to_utf16("\xF0\x9F\x98\x80", -1, 0));
    fact("UTF-8 to UTF-16, too small a buffer", to_utf16("\xF0\x9F\x98\x80", 4, 1));

    HANDLE token = nullptr;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    std::string elevated =
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size)
            ? std::string(elevation.TokenIsElevated != 0 ? "elevated" : "not elevated") +
                  ", size " + std::to_string(size)
            : code(GetLastError());
    if (token != nullptr) CloseHandle(token);
    fact("token elevation", elevated);
    return cleanup(false);
}
