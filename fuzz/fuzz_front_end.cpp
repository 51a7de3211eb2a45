// The command word as arbitrary bytes, through the same UTF-8 decoding and
// dispatch as the program, on a platform that refuses every device set, so
// no tree is ever touched: a word that is not a command is echoed whole.
#include "device/console_out.h"
#include "harness.h"
#include "pnpsim/pnpsim.h"
#include "pnpsim/text.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

std::string last_output;
void keep(const char *bytes, std::size_t size) { last_output.append(bytes, size); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ::setenv("PNPSIM_ROOT", "/nonexistent/shamrig-fuzz", 1);
    ::setenv("PNPSIM_FAIL", "SetupDiCreateDeviceInfoList,SetupDiGetClassDevsW,OpenProcessToken", 1);
    set_output_sink(keep);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::u16string program = u"shamrig";
    std::u16string word =
        pnpsim::utf16_from_utf8(std::string_view(reinterpret_cast<const char *>(data), size));
    WCHAR *argv[] = {program.data(), word.data(), nullptr};
    last_output.clear();
    wmain(2, argv);
    std::u16string folded = word;
    for (auto &c : folded) c = static_cast<char16_t>(pnpsim::ascii_case(c, false));
    bool command = folded == u"create" || folded == u"remove" || folded == u"list";
    if (!command && word.find(u'\0') == std::u16string::npos &&
        last_output.find(harness::unknown_word(pnpsim::utf8_from_utf16(word))) ==
            std::string::npos) {
        std::abort();
    }
    return 0;
}
