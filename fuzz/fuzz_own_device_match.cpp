// The own-device match on arbitrary instance IDs, against a plain model:
// the name anywhere in the ID, ASCII letter case ignored.
#include "device/fake_device.h"
#include "pnpsim/text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::u16string id;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (unit != 0) id += unit;
    }
    // Bytes read one by one also reach the name in plain ASCII.
    if (size % 2 == 1) {
        id.clear();
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] != 0) id += static_cast<char16_t>(data[i]);
        }
    }
    auto upper = [](std::u16string s) {
        for (auto &c : s) c = static_cast<char16_t>(pnpsim::ascii_case(c, true));
        return s;
    };
    bool model = upper(id).find(upper(DEVICE_NAME)) != std::u16string::npos;
    if (id_is_mine(id.c_str()) != model) std::abort();
    return 0;
}
