#include "fake_device.h"

#include <cstring>

namespace {

// The platform keeps instance IDs upper-cased (a device created as
// VelmoRastixTest is ROOT\VELMORASTIXTEST\0000), so the name is looked for
// anywhere in the ID without regard to ASCII letter case.
bool id_is_mine(const WCHAR *id) {
    constexpr std::size_t name_len = sizeof(DEVICE_NAME) / sizeof(WCHAR) - 1;
    for (; *id != 0; ++id) {
        if (_wcsnicmp(id, DEVICE_NAME, name_len) == 0) return true;
    }
    return false;
}

}  // namespace

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
            wcscpy(list[count], id);  // both ID_LEN slots, the source terminated
            if (++count == MAX_MINE) break;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}
