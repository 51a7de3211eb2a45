#include "fake_device.h"

#include <cstring>

namespace {

WCHAR ascii_upper(WCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 32) : c; }

}  // namespace

// The platform keeps instance IDs upper-cased (a device created as
// VelmoRastixTest is ROOT\VELMORASTIXTEST\0000), so the name is looked for
// anywhere in the ID without regard to ASCII letter case.
bool id_is_mine(const WCHAR *id) {
    constexpr int name_len = static_cast<int>(sizeof(DEVICE_NAME) / sizeof(WCHAR)) - 1;
    for (const WCHAR *start = id; *start != 0; ++start) {
        int i = 0;
        while (i < name_len && start[i] != 0 &&
               ascii_upper(start[i]) == ascii_upper(DEVICE_NAME[i])) {
            ++i;
        }
        if (i == name_len) return true;
    }
    return false;
}

int enum_mine(OwnDeviceList &list) {
    HDEVINFO set = SetupDiGetClassDevsW(&CAMERA_CLASS, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return 0;
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof(SP_DEVINFO_DATA);
    WCHAR id[ID_LEN];
    int count = 0;
    DWORD index = 0;
    while (SetupDiEnumDeviceInfo(set, index, &dev)) {
        // Zero-filled, and read with one unit to spare, so that the slot is
        // a terminated string whatever the read did.
        std::memset(id, 0, sizeof id);
        CM_Get_Device_IDW(dev.DevInst, id, ID_LEN - 1, 0);
        ++index;
        if (id_is_mine(id)) {
#if defined(_MSC_VER)
#pragma warning(push)
// MSVC deprecates wcscpy (C4996); safe here: both are ID_LEN slots, the source terminated.
#pragma warning(disable : 4996)
#endif
            wcscpy(list[count], id);
#if defined(_MSC_VER)
#pragma warning(pop)
#endif
            if (++count == MAX_MINE) break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}
