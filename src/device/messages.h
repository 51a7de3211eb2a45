// Everything the tool says, in one place. Every line goes to standard
// output, as UTF-16 to a console and UTF-8 elsewhere; %ls stands for a wide
// text (instance ID, status, the operator's word), %lu for a platform
// error code, %d for a count. docs/operator-guide.zh-CN.md explains each
// one to operators, and a unit test holds the two together.
#pragma once

#include "devinst.h"

// Start-up and command word.
inline constexpr char MSG_BANNER[] = "\n  ==== shamrig · 假设备演练工具 ====\n";
inline constexpr char MSG_NOT_ELEVATED[] = "  [警告] 当前不是管理员，创建/删除可能失败\n";
inline constexpr char MSG_USAGE[] = "  用法：shamrig.exe create | remove | list\n\n";
inline constexpr char MSG_UNKNOWN_WORD[] = "  未知参数：%ls\n";
inline constexpr WCHAR WORD_CREATE[] = TEXT("create");
inline constexpr WCHAR WORD_REMOVE[] = TEXT("remove");
inline constexpr WCHAR WORD_LIST[] = TEXT("list");

// create
inline constexpr char MSG_CREATE_LIST_FAILED[] = "  [错误] CreateDeviceInfoList 失败 %lu\n";
inline constexpr char MSG_CREATE_INFO_FAILED[] = "  [错误] CreateDeviceInfo 失败 %lu\n";
inline constexpr char MSG_HARDWARE_ID_FAILED[] = "  [错误] 设置 HardwareID 失败 %lu\n";
inline constexpr char MSG_REGISTER_FAILED[] = "  [错误] 注册设备失败 %lu（需要管理员权限）\n";
inline constexpr char MSG_CREATED[] = "  ✔ 已创建：%ls\n";

// list
inline constexpr char MSG_LIST_COUNT[] = "  本工具创建的假设备：%d 个\n";
inline constexpr char MSG_LIST_ITEM[] = "    %ls\n";

// remove
inline constexpr char MSG_NOTHING_FOUND[] = "  （没有找到本工具创建的设备）\n";
inline constexpr char MSG_REMOVE_COUNT[] = "  找到 %d 个，开始删除...\n";
inline constexpr char MSG_REMOVE_STATUS[] = "  %ls  %ls\n";
inline constexpr WCHAR STATUS_REMOVED[] = TEXT("✔ 已删除");
inline constexpr WCHAR STATUS_FAILED[] = TEXT("✘ 删除失败");
