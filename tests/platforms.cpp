#include "platforms.h"

#include <cstdlib>
#include <fstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace platforms {

namespace {

const Facts STAND_IN_FACTS = {
    .name = "stand-in",
    .removes = true,
    .plainly_elevated = true,
    .follows_user = true,
    .warns_not_elevated = true,
    .not_elevated_writes = false,
    .killed_create_leaves_phantom = true,
    .newline = "\n",
    .emoji_on_console = "😀",
};
// Wine, not elevated (measured): the restricted token keeps the elevation
// of the token it was made from, and Wine lets it write the tree.
const Facts WINE8_FACTS = {
    .name = "wine 8.0",
    .removes = false,
    .plainly_elevated = true,
    .follows_user = false,
    .warns_not_elevated = false,
    .not_elevated_writes = true,
    .killed_create_leaves_phantom = true,
    .newline = "\r\n",
    .emoji_on_console = "\uFFFD\uFFFD",
};
// Wine 10.0 is Wine 8.0 but for elevation (measured): a process started
// plainly is not elevated there.
const Facts WINE10_FACTS = [] {
    Facts f = WINE8_FACTS;
    f.name = "wine 10.0";
    f.plainly_elevated = false;
    return f;
}();
// Each answer's source is in FACT_ROWS below; what the scenario does not
// know there, it records.
const Facts WINDOWS_FACTS = {
    .name = "windows",
    .removes = true,
    .plainly_elevated = true,
    .follows_user = true,
    .warns_not_elevated = std::nullopt,
    .not_elevated_writes = false,
    .killed_create_leaves_phantom = std::nullopt,
    .newline = "\r\n",
    .emoji_on_console = nullptr,
};

std::string yes_no(bool b) { return b ? "yes" : "no"; }
std::string yes_no(const std::optional<bool> &b) { return b ? yes_no(*b) : ""; }

// A fact of Facts as the docs' table shows it ("" where it is not known),
// and where Windows' answer comes from, or why there is none.
struct FactRow {
    const char *what;
    std::string (*cell)(const Facts &);
    const char *windows_source;
};

const FactRow FACT_ROWS[] = {
    {"an elevated `remove` takes the devices out", [](const Facts &f) { return yes_no(f.removes); },
     "the probe's `removal parameters accepted` and `DIF_REMOVE alone`, below"},
    {"a process started plainly is elevated",
     [](const Facts &f) { return yes_no(f.plainly_elevated); },
     "Microsoft's documentation: CreateProcessW (a new process runs in the security context of "
     "the calling process), and the suite's programs require an administrator"},
    {"whether a process is elevated depends on its user",
     [](const Facts &f) { return yes_no(f.follows_user); },
     "Microsoft's documentation: TOKEN_ELEVATION"},
    {"a token that is not elevated is warned",
     [](const Facts &f) { return yes_no(f.warns_not_elevated); },
     "none: the scenario records what the tool shows"},
    {"a token that is not elevated may create and remove devices",
     [](const Facts &f) { return yes_no(f.not_elevated_writes); },
     "Microsoft's documentation: SetupDiCreateDeviceInfo, Remarks: \"The caller of this function "
     "must be a member of the Administrators group\""},
    {"a `create` killed before its set is destroyed leaves a phantom",
     [](const Facts &f) { return yes_no(f.killed_create_leaves_phantom); },
     "none (the documented fate of a phantom that nobody uninstalls): the scenario records it"},
    {"redirected output ends a line with",
     [](const Facts &f) { return std::string(f.newline) == "\n" ? std::string("LF") : "CRLF"; },
     "Microsoft's documentation: Translation Mode Constants, _O_TEXT: LF becomes CR-LF on output"},
    {"a console shows U+1F600 as",
     [](const Facts &f) {
         if (f.emoji_on_console == nullptr) return std::string();
         bool shown = std::string(f.emoji_on_console) == "\U0001F600";
         return std::string(shown ? "U+1F600" : "U+FFFD U+FFFD");
     },
     "none: no screen is read there; Windows Terminal falls back to other fonts, the classic "
     "console does not (microsoft/terminal#61)"},
};

// Wine 10.0 answers every question here as Wine 8.0 does (measured, run as
// the suite runs the probe, elevated by its manifest). `as_root`: the
// stand-in's token is root's, as the suite runs it.
std::vector<ProbeFact> make_probe_facts(bool as_root) {
    const char *id0 = "ROOT\\VELMORASTIXTEST\\0000";
    const char *id1 = "ROOT\\VELMORASTIXTEST\\0001";
    const char *legacy = "ROOT\\LEGACY_BOGUS\\0002";
    const char *x199 = "ROOT\\LEGACY_BOGUS\\XX";
    const char *exists = "error 3758096903";
    const char *bad_name = "error 3758096901";
    const char *no_key = "error 3758096900";
    const char *desc = "Velmo-Rastix Test Device";
    const char *removed = "removed, not listed in a new set";
    const char *planes = "F0 90 80 80 F4 8F BF BF EF BF BF";
    const char *unpaired = "EF BF BD 61 EF BF BD";
    const char *elevated = "elevated, size 4";
    const char *token = as_root ? elevated : "not elevated, size 4";
    const WindowsAnswer unknown = {nullptr, nullptr};
    const char *wc = "Microsoft's documentation: WideCharToMultiByte";
    const char *mb = "Microsoft's documentation: MultiByteToWideChar";
    const char *cm =
        "Microsoft's documentation: CM_Get_Device_IDW (what fits, and CR_BUFFER_SMALL)";
    // The source of each Windows answer names the check that states it.
    // clang-format off
    return {
        {"sizes", "32 8 16", "32 8 16", {"32 8 16", "Microsoft's documentation: the three declarations, on x64"}},
        {"generated id", id0, id0, {id0, "devinst.c test_get_device_instance_id: DICD_GENERATE_ID beside ...\\0000, ok(!strcmp(id, ...\\0001))", true}},
        {"next generated id", id1, id1, {id1, "devinst.c test_get_device_instance_id: a number held is skipped, ok(!strcmp(id, ...\\0001))", true}},
        {"full id", legacy, legacy, {legacy, "devinst.c test_device_info: ok(!strcmp(id, \"ROOT\\\\LEGACY_BOGUS\\\\0002\"))"}},
        {"mixed-case id", "USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7", "USB\\VID_1234&PID_5678\\VELMORASTIXTEST-7", unknown},
        {"existing id", exists, exists, {exists, "devinst.c test_device_info: a registered ID made in a new set, ERROR_DEVINST_ALREADY_EXISTS"}},
        {"existing id, other case", exists, exists, unknown},
        {"generated name with backslash", bad_name, bad_name, unknown},
        {"199 characters", x199, x199, {x199, "devinst.c test_device_info: id[MAX_DEVICE_ID_LEN - 1] = 0, ok(ret)", true}},
        {"200 characters", bad_name, bad_name, {bad_name, "devinst.c test_device_info: id[MAX_DEVICE_ID_LEN] = 0, ERROR_INVALID_DEVINST_NAME"}},
        {"unregistered element, in a new set", "listed", "listed", unknown},
        {"unregistered element, in a new set of present devices", "not listed", "listed", {"not listed", "Microsoft's documentation: SetupDiGetClassDevsW, DIGCF_PRESENT"}},
        {"registered device, in a new set of present devices", "listed", "listed", unknown},
        {"generated id beside another set's unregistered element", "ROOT\\VELMORASTIXTEST\\0003", "ROOT\\VELMORASTIXTEST\\0003", unknown},
        {"element of another set", "error 87", "error 87", unknown},
        {"description of a new element", desc, desc, {desc, "devinst.c test_registry_property_w: SPDRP_DEVICEDESC, ok(!lstrcmpW(buf, L\"device_name\"))"}},
        {"DIF_REMOVE of an unregistered element", removed, removed, {removed, "devinst.c test_device_info: SetupDiRemoveDevice (DIF_REMOVE's default) ok(ret), then ERROR_NO_SUCH_DEVINST"}},
        {"unregistered elements after their sets", "gone", "gone", {"gone", "devinst.c test_register_device_info: ...\\0003 never registered, not in the next set"}},
        {"registering an element whose node another set made again", "error 3758096907", "registered", unknown},
        {"that node, after the first set is destroyed", "listed", "listed", unknown},
        {"order within a device name, its enumerator asked for", "BAR FOO QUX", "BAR FOO QUX", {"BAR FOO QUX", "devinst.c test_get_class_devs: \"ROOT\\\\LEGACY_BOGUS\", DIGCF_ALLCLASSES, check_device_info BAR FOO QUX"}},
        {"past the last element", "error 259", "error 259", {"error 259", "devinst.c check_device_info: ERROR_NO_MORE_ITEMS"}},
        {"enumeration in ascending ID order", "yes", "yes", unknown},
        {"device added after the set was made is in it", "no", "no", unknown},
        {"CM_Get_Device_IDW into 21 units", "CR 26, 000", "CR 0, 00~", {"CR 26, 000", cm}},
        {"CM_Get_Device_IDW into 22 units", "CR 0, 002", "CR 0, 00~", unknown},
        {"CM_Get_Device_IDW into 23 units", "CR 0, 02~", "CR 0, 02~", {"CR 0, 02~", cm}},
        {"hardware key of a registered device", no_key, no_key, {no_key, "devinst.c test_device_key: registered, DIREG_DEV, ERROR_KEY_DOES_NOT_EXIST"}},
        {"removal parameters accepted", "yes", "error 2", {"yes", "Microsoft's documentation: SetupDiSetClassInstallParamsW"}},
        {"DIF_REMOVE alone", removed, removed, {removed, "devinst.c test_register_device_info: SetupDiRemoveDevice (DIF_REMOVE's default), ...\\0001 not in the next set"}},
        {"generated id after removal", id0, id0, unknown},
        {"UTF-16 to UTF-8, U+10000 U+10FFFF U+FFFF", planes, planes, {planes, wc}},
        {"UTF-16 to UTF-8, unpaired surrogates", unpaired, unpaired, {unpaired, wc}},
        {"UTF-16 to UTF-8, size asked for, -1", "size 4", "size 4", {"size 4", wc}},
        {"UTF-16 to UTF-8, too small a buffer", "error 122", "error 122", {"error 122", wc}},
        {"UTF-8 to UTF-16, 41 FF 42", "0041 FFFD 0042", "0041 FFFD 0042", {"0041 FFFD 0042", mb}},
        {"UTF-8 to UTF-16, overlong C0 AF", "FFFD FFFD", "FFFD FFFD", unknown},
        {"UTF-8 to UTF-16, encoded surrogate ED A0 80", "FFFD FFFD FFFD", "FFFD FFFD", unknown},
        {"UTF-8 to UTF-16, cut short E2 82 28", "FFFD 0028", "FFFD 0028", unknown},
        {"UTF-8 to UTF-16, size asked for, -1", "size 3", "size 3", {"size 3", mb}},
        {"UTF-8 to UTF-16, too small a buffer", "error 122", "D83D", {"error 122", mb}},
        {"token elevation", token, elevated, {elevated, "Microsoft's documentation: TOKEN_ELEVATION"}},
    };
    // clang-format on
}

}  // namespace

Kind this_platform() {
#if defined(_WIN32)
    return this_wine_version().empty() ? WINDOWS : WINE;
#else
    return STAND_IN;
#endif
}

std::string this_wine_version() {
#if defined(_WIN32)
    using Version = const char *(*)();
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC found = ntdll == nullptr ? nullptr : GetProcAddress(ntdll, "wine_get_version");
    // Through void (*)(), which converts to and from any function type.
    if (found != nullptr) return reinterpret_cast<Version>(reinterpret_cast<void (*)()>(found))();
#endif
    return "";
}

const Facts &facts(Kind kind, const std::string &wine_version) {
    if (kind == WINE) return std::atoi(wine_version.c_str()) >= 10 ? WINE10_FACTS : WINE8_FACTS;
    return kind == STAND_IN ? STAND_IN_FACTS : WINDOWS_FACTS;
}

const std::vector<ProbeFact> &probe_facts() {
#if defined(_WIN32)
    static const std::vector<ProbeFact> all = make_probe_facts(true);
#else
    static const std::vector<ProbeFact> all = make_probe_facts(::geteuid() == 0);
#endif
    return all;
}

const char *probe_answer(const ProbeFact &fact, Kind kind) {
    return kind == STAND_IN ? fact.stand_in : kind == WINE ? fact.wine : fact.windows.answer;
}

std::string this_version() {
#if defined(_WIN32)
    if (this_platform() == WINE) return this_wine_version();
    // GetVersionEx answers as the manifest lets it; RtlGetVersion does not.
    struct Info {
        ULONG size, major, minor, build, platform;
        WCHAR service_pack[128];
    } info{};
    info.size = sizeof info;
    using Get = LONG(WINAPI *)(Info *);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    FARPROC found = ntdll == nullptr ? nullptr : GetProcAddress(ntdll, "RtlGetVersion");
    if (found == nullptr ||
        reinterpret_cast<Get>(reinterpret_cast<void (*)()>(found))(&info) != 0) {
        return "-";
    }
    return std::to_string(info.major) + "." + std::to_string(info.minor) + "." +
           std::to_string(info.build);
#else
    return "-";
#endif
}

namespace {

// A TAB, a line feed, a carriage return and a backslash, and how a field
// of an answers file writes them (scripts/answers.sh reads them back).
const std::string SPECIAL = "\t\n\r\\";
const std::string WRITTEN = "tnr\\";

std::string escaped(const std::string &field) {
    std::string out;
    for (char c : field) {
        auto at = SPECIAL.find(c);
        out += at == std::string::npos ? std::string(1, c) : std::string("\\") + WRITTEN[at];
    }
    return out;
}

}  // namespace

void write_answer(const std::vector<std::string> &fields) {
    const char *path = std::getenv("SHAMRIG_ANSWERS");
    if (path == nullptr || *path == '\0') return;
    static bool named = false;
    std::string lines;
    if (!named) {
        lines = "platform\t" + escaped(facts(this_platform()).name) + "\t" +
                escaped(this_version()) + "\n";
    }
    named = true;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) lines += '\t';
        lines += escaped(fields[i]);
    }
    std::ofstream(path, std::ios::app | std::ios::binary) << lines << "\n";
}

namespace {

// Text in a table: a bar is escaped, even in code.
std::string in_table(const std::string &text) {
    std::string out;
    for (char c : text) out += c == '|' ? std::string("\\|") : std::string(1, c);
    return out;
}

std::string code(const char *answer) {
    if (answer == nullptr) return "unknown";
    std::string out = "`";
    out += in_table(answer);
    return out += '`';
}

std::string row(const std::string &what, std::vector<std::string> cells,
                const std::string &source) {
    if (cells[2] == cells[1]) cells[2] = "as Wine 8.0";
    std::string line = "| " + what;
    for (const auto &c : cells) line += " | " + c;
    return line + " | " + source + " |\n";
}

}  // namespace

std::string docs_table() {
    const Facts *columns[] = {&STAND_IN_FACTS, &WINE8_FACTS, &WINE10_FACTS, &WINDOWS_FACTS};
    std::string table =
        "| | stand-in | Wine 8.0 (Debian 12) | Wine 10.0 (Debian 13) | Windows | "
        "Windows' answer from |\n|---|---|---|---|---|---|\n";
    for (const auto &fact : FACT_ROWS) {
        std::vector<std::string> cells;
        for (const Facts *f : columns) {
            std::string shown = fact.cell(*f);
            cells.push_back(shown.empty() ? "unknown" : shown);
        }
        table += row(fact.what, cells, in_table(fact.windows_source));
    }
    for (const auto &fact : make_probe_facts(true)) {
        const WindowsAnswer &w = fact.windows;
        std::string windows =
            code(w.answer) + (w.answer != nullptr && w.any_case ? ", in any letter case" : "");
        table += row("probe: " + in_table(fact.fact),
                     {code(fact.stand_in), code(fact.wine), code(fact.wine), windows},
                     w.source == nullptr ? "none: the probe records it" : in_table(w.source));
    }
    return table;
}

}  // namespace platforms
