#include "console_out.h"
#include "fake_device.h"
#include "messages.h"

#include <cstring>

namespace {

// Finds the device with this instance ID in a fresh device set and removes
// it; true only when the platform removed it.
bool remove_one(const WCHAR *wanted) {
    // A fresh set each time: the device may have gone, or others come,
    // since the list was made.
    HDEVINFO set = SetupDiGetClassDevsW(&CAMERA_CLASS, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) return false;
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof(SP_DEVINFO_DATA);
    WCHAR id[ID_LEN];
    bool found = false;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &dev); ++index) {
        std::memset(id, 0, sizeof id);
        CM_Get_Device_IDW(dev.DevInst, id, ID_LEN - 1, 0);
        if (_wcsicmp(id, wanted) == 0) {
            found = true;
            break;
        }
    }
    bool removed = false;
    if (found) {
        SP_REMOVEDEVICE_PARAMS params;
        std::memset(&params, 0, sizeof params);
        params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
        params.Scope = DI_REMOVEDEVICE_GLOBAL;
        params.HwProfile = 0;
        removed = SetupDiSetClassInstallParamsW(set, &dev, &params.ClassInstallHeader,
                                                sizeof(SP_REMOVEDEVICE_PARAMS)) &&
                  SetupDiCallClassInstaller(DIF_REMOVE, set, &dev);
    }
    SetupDiDestroyDeviceInfoList(set);
    return removed;
}

}  // namespace

void dev_remove() {
    OwnDeviceList list;
    int count = enum_mine(list);
    if (count == 0) {
        say(MSG_NOTHING_FOUND);
        return;
    }
    say_count(MSG_REMOVE_COUNT, count);
    for (int i = 0; i < count; ++i) {
        const WCHAR *status = remove_one(list[i]) ? STATUS_REMOVED : STATUS_FAILED;
        say_texts(MSG_REMOVE_STATUS, status, list[i]);
    }
}
