// What makes a fake device, and the device commands of the tool.
#pragma once

#include "devinst.h"

// The platform's Camera device setup class.
inline constexpr GUID CAMERA_CLASS = {
    0xCA3E7AB9, 0xB4C3, 0x4AE6, {0x82, 0x51, 0x57, 0x9E, 0xF9, 0x33, 0x89, 0x0F}};

// The name new devices get, and by which the tool knows its own again.
inline constexpr WCHAR DEVICE_NAME[] = TEXT("VelmoRastixTest");
inline constexpr WCHAR DEVICE_DESC[] = TEXT("Velmo-Rastix Test Device");
// The hardware-ID list as REG_MULTI_SZ: the one entry, its NUL, and the
// empty string that ends the list.
inline constexpr WCHAR HARDWARE_ID_LIST[] = TEXT("ROOT\\VelmoRastixTest\0");

static_assert(sizeof(DEVICE_NAME) / sizeof(WCHAR) == 15 + 1);
static_assert(sizeof(DEVICE_DESC) == 50, "24 UTF-16 characters and the NUL");
static_assert(sizeof(HARDWARE_ID_LIST) == 44, "20 characters, two NULs");

// An instance ID slot, terminator included.
inline constexpr int ID_LEN = 512;
inline constexpr int MAX_MINE = 64;
// The tool's own devices as enum_mine finds them, in enumeration order.
using OwnDeviceList = WCHAR[MAX_MINE][ID_LEN];

// Plants one fake device and prints its ID; 0 when it was registered.
int dev_create();
// Fills `list` with the IDs of the tool's own devices; returns how many.
int enum_mine(OwnDeviceList &list);
void dev_list();
void dev_remove();
