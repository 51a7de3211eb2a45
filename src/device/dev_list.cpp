#include "console_out.h"
#include "fake_device.h"
#include "messages.h"

void dev_list() {
    OwnDeviceList list;
    int count = enum_mine(list);
    say_count(MSG_LIST_COUNT, count);
    for (int i = 0; i < count; ++i) say_text(MSG_LIST_ITEM, list[i]);
}
