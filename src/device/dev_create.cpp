#include "console_out.h"
#include "fake_device.h"
#include "messages.h"

#include <cstring>

namespace {

// Reports a step that failed with the platform's code, taken before
// anything else can overwrite it, and drops the set: an element that was
// never registered leaves with its set.
int give_up(HDEVINFO set, const char *message) {
    DWORD code = GetLastError();
    say_code(message, code);
    SetupDiDestroyDeviceInfoList(set);
    return 1;
}

// The two values in the device's hardware key. A key that can't be opened,
// or a value that can't be written, does not undo a registered device.
void write_hardware_key(HDEVINFO set, SP_DEVINFO_DATA *dev) {
    HKEY key = SetupDiOpenDevRegKey(set, dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_ALL_ACCESS);
    if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE)) return;
    const auto *desc = reinterpret_cast<const BYTE *>(DEVICE_DESC);
    RegSetValueExW(key, TEXT("FriendlyName"), 0, REG_SZ, desc, sizeof(DEVICE_DESC));
    RegSetValueExW(key, TEXT("DeviceDesc"), 0, REG_SZ, desc, sizeof(DEVICE_DESC));
    RegCloseKey(key);
}

}  // namespace

int dev_create() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&CAMERA_CLASS, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        say_code(MSG_CREATE_LIST_FAILED, GetLastError());
        return 1;
    }
    SP_DEVINFO_DATA dev;
    std::memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiCreateDeviceInfoW(set, DEVICE_NAME, &CAMERA_CLASS, DEVICE_DESC, nullptr,
                                  DICD_GENERATE_ID, &dev)) {
        return give_up(set, MSG_CREATE_INFO_FAILED);
    }
    if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE *>(HARDWARE_ID_LIST),
                                           sizeof(HARDWARE_ID_LIST))) {
        return give_up(set, MSG_HARDWARE_ID_FAILED);
    }
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev)) {
        return give_up(set, MSG_REGISTER_FAILED);
    }
    write_hardware_key(set, &dev);
    // The last unit stays NUL whatever the platform writes, so the slot is
    // always a terminated string, even when the read fails.
    WCHAR id[ID_LEN];
    std::memset(id, 0, sizeof id);
    CM_Get_Device_IDW(dev.DevInst, id, ID_LEN - 1, 0);
    say_text(MSG_CREATED, id);
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}
