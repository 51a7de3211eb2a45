// pnpsim: the stand-in's own device tool, as the platform has its own, for
// looking into the device tree and changing it the way another vendor's
// installer would, through the same interface the tool uses.
#include "pnpsim.h"
#include "text.h"
#include "tree.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char *USAGE =
    "usage: pnpsim enum\n"
    "       pnpsim add [--class {GUID}] INSTANCE-ID...\n"
    "       pnpsim remove INSTANCE-ID...\n"
    "       pnpsim --help\n"
    "The device tree is in $PNPSIM_ROOT (default /var/lib/pnpsim).\n";

// The System device setup class, for devices added without --class.
constexpr GUID SYSTEM_CLASS = {
    0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string error_text(DWORD code) { return "error " + std::to_string(code); }

// The strings of a REG_SZ or REG_MULTI_SZ value, as UTF-8.
std::vector<std::string> strings_of(const BYTE *data, DWORD size) {
    std::vector<std::string> out;
    std::u16string cur;
    for (DWORD i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0) {
            if (cur.empty()) break;
            out.push_back(pnpsim::utf8_from_utf16(cur));
            cur.clear();
        } else {
            cur += unit;
        }
    }
    if (!cur.empty()) out.push_back(pnpsim::utf8_from_utf16(cur));
    return out;
}

std::string join(const std::vector<std::string> &parts, const char *sep) {
    std::string s;
    for (std::size_t i = 0; i < parts.size(); ++i) s += (i == 0 ? "" : sep) + parts[i];
    return s;
}

// One line per device node: instance ID, class, hardware IDs, DeviceDesc,
// FriendlyName and whether it is registered or a phantom.
int cmd_enum() {
    std::set<std::string> phantoms;
    pnpsim::tree_snapshot([&phantoms](std::string_view id, const GUID &, bool phantom) {
        if (phantom) phantoms.emplace(id);
    });
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "pnpsim: cannot read the device tree in %s: %s\n",
                     pnpsim::tree_root().c_str(), error_text(GetLastError()).c_str());
        return 1;
    }
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    std::string out;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
        WCHAR id[MAX_DEVICE_ID_LEN] = {};
        CM_Get_Device_IDW(dev.DevInst, id, MAX_DEVICE_ID_LEN - 1, 0);
        std::string name = pnpsim::utf8_from_utf16(id);
        out += name + '\t' + pnpsim::guid_string(dev.ClassGuid);
        bool readable = true;
        for (DWORD property : {SPDRP_HARDWAREID, SPDRP_DEVICEDESC, SPDRP_FRIENDLYNAME}) {
            BYTE data[4096];
            DWORD size = 0;
            out += '\t';
            if (readable && SetupDiGetDeviceRegistryPropertyW(set, &dev, property, nullptr, data,
                                                              sizeof data, &size)) {
                out += join(strings_of(data, size), ";");
            } else if (readable && GetLastError() != ERROR_INVALID_DATA) {  // no such property
                std::fprintf(stderr, "pnpsim: %s: cannot read its registry data: %s\n",
                             name.c_str(), error_text(GetLastError()).c_str());
                readable = false;
            }
        }
        out += phantoms.count(name) != 0 ? "\tphantom\n" : "\tregistered\n";
    }
    SetupDiDestroyDeviceInfoList(set);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

int cmd_add(const GUID &cls, const std::vector<std::u16string> &ids) {
    int status = 0;
    for (const auto &id : ids) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&cls, nullptr);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        bool ok = set != INVALID_HANDLE_VALUE &&
                  SetupDiCreateDeviceInfoW(set, id.c_str(), &cls, nullptr, nullptr, 0, &dev) &&
                  SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev);
        if (!ok) {
            std::fprintf(stderr, "pnpsim: cannot add %s: %s\n", pnpsim::utf8_from_utf16(id).c_str(),
                         error_text(GetLastError()).c_str());
            status = 1;
        }
        if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    }
    return status;
}

int cmd_remove(const std::vector<std::u16string> &ids) {
    int status = 0;
    for (const auto &id : ids) {
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        if (set == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "pnpsim: cannot read the device tree: %s\n",
                         error_text(GetLastError()).c_str());
            return 1;
        }
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        bool found = false;
        for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &dev); ++i) {
            WCHAR have[MAX_DEVICE_ID_LEN] = {};
            CM_Get_Device_IDW(dev.DevInst, have, MAX_DEVICE_ID_LEN - 1, 0);
            found = _wcsicmp(have, id.c_str()) == 0;
        }
        if (!found) {
            std::fprintf(stderr, "pnpsim: cannot remove %s: %s\n",
                         pnpsim::utf8_from_utf16(id).c_str(),
                         error_text(ERROR_NO_SUCH_DEVINST).c_str());
            status = 1;
        } else if (!SetupDiCallClassInstaller(DIF_REMOVE, set, &dev)) {
            std::fprintf(stderr, "pnpsim: cannot remove %s: %s\n",
                         pnpsim::utf8_from_utf16(id).c_str(), error_text(GetLastError()).c_str());
            status = 1;
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(USAGE, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (args.empty()) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    const std::string cmd = args[0];
    args.erase(args.begin());
    if (cmd == "enum" && args.empty()) return cmd_enum();
    GUID cls = SYSTEM_CLASS;
    if (cmd == "add" && args.size() >= 2 && args[0] == "--class") {
        if (!pnpsim::parse_guid(args[1], cls)) {
            std::fprintf(stderr, "pnpsim: not a class GUID: %s\n", args[1].c_str());
            return 2;
        }
        args.erase(args.begin(), args.begin() + 2);
    }
    if ((cmd == "add" || cmd == "remove") && !args.empty()) {
        std::vector<std::u16string> ids;
        for (const auto &a : args) ids.push_back(pnpsim::utf16_from_utf8(a));
        return cmd == "add" ? cmd_add(cls, ids) : cmd_remove(ids);
    }
    std::fputs(USAGE, stderr);
    return 2;
}
