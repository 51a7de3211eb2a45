// What the black box cannot reach: the output conversion through both ways
// out, and the operator's guide against the messages.
#include "device/console_out.h"
#include "device/messages.h"
#include "harness.h"
#include "pnpsim/text.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

std::vector<std::string> byte_pieces;
std::vector<std::u16string> unit_pieces;
void capture_bytes(const char *bytes, std::size_t size) { byte_pieces.emplace_back(bytes, size); }
void capture_units(const WCHAR *units, std::size_t count) {
    unit_pieces.emplace_back(units, count);
}

// Whole text: it survives a round trip through the other encoding.
bool whole(const std::string &bytes) {
    return pnpsim::utf8_from_utf16(pnpsim::utf16_from_utf8(bytes)) == bytes;
}
bool whole(const std::u16string &units) {
    return pnpsim::utf16_from_utf8(pnpsim::utf8_from_utf16(units)) == units;
}

class Output : public ::testing::Test {
protected:
    void TearDown() override { set_output_sink(nullptr); }

    // What `say` prints, the way a file gets it; a console must get the
    // same text, and every piece either way must be whole text.
    static std::string said(const std::function<void()> &say) {
        byte_pieces.clear();
        unit_pieces.clear();
        set_output_sink(capture_bytes);
        say();
        set_console_sink(capture_units);
        say();
        std::string bytes;
        int broken = 0;
        for (const auto &piece : byte_pieces) {
            broken += whole(piece) ? 0 : 1;
            bytes += piece;
        }
        std::u16string units;
        for (const auto &piece : unit_pieces) {
            broken += whole(piece) ? 0 : 1;
            units += piece;
        }
        EXPECT_EQ(broken, 0) << "pieces that are not whole text";
        EXPECT_EQ(pnpsim::utf8_from_utf16(units), bytes);
        return bytes;
    }
};

// Wide text goes out as the platform converts it, whole characters in
// every piece wherever a slice or a piece of output happens to end.
TEST_F(Output, WideTextGoesOutWhole) {
    const std::u16string smile = u"\U0001F600";
    const std::u16string high(1, char16_t(0xD83D));
    const std::u16string cases[] = {
        u"",
        u"ROOT\\VELMORASTIXTEST\\0000",
        u"\x01\x1b[31m\t",
        std::u16string(63, u'a') + smile + u"b",    // a pair across two slices
        std::u16string(63, u'a') + high + u"b",     // an unpaired half at a slice's end
        std::u16string(64, u'a') + high,            // and at the text's end
        std::u16string(253, u'a') + u"中" + smile,  // characters across two pieces
        std::u16string(100, u'中'),                 // longer than a piece, and no ASCII in it
    };
    for (const auto &text : cases) {
        std::string bytes = pnpsim::utf8_from_utf16(text);
        EXPECT_EQ(said([&] { say_text("<%ls>", text.c_str()); }), "<" + bytes + ">");
    }
}

TEST_F(Output, ConversionsTakeTheirArgumentsInOrder) {
    EXPECT_EQ(said([] {
                  say_code("  [错误] 注册设备失败 %lu（需要管理员权限）\n", 4294967295U);
                  say_count("%d|", 0);
                  say_count("%d|", 64);
                  say_count("%lx %x %d|", 7);  // only a whole conversion takes an argument
                  say_texts("  %ls  %ls\n", u"✘ 删除失败", u"ID");
                  say("100%% %x %l %ls %d %\n");  // unknown or unfed conversions stand as written
              }),
              "  [错误] 注册设备失败 4294967295（需要管理员权限）\n"
              "0|64|%lx %x 7|  ✘ 删除失败  ID\n"
              "100% %x %l %ls %d %\n");
}

// The operator's guide explains every message the tool can print, as the
// screen shows it, with the guide's names for what a conversion stands for.
TEST(OperatorGuide, ExplainsEveryMessage) {
    std::string guide = harness::read_file(SHAMRIG_SOURCE_DIR "/docs/operator-guide.zh-CN.md");
    ASSERT_FALSE(guide.empty());
    for (std::size_t at; (at = guide.find("\\|")) != std::string::npos;) guide.erase(at, 1);
    const std::pair<const char *, const char *> messages[] = {
        {MSG_BANNER, ""},
        {MSG_NOT_ELEVATED, ""},
        {MSG_USAGE, ""},
        {MSG_UNKNOWN_WORD, "<你输入的内容>"},
        {MSG_CREATE_LIST_FAILED, ""},
        {MSG_CREATE_INFO_FAILED, ""},
        {MSG_HARDWARE_ID_FAILED, ""},
        {MSG_REGISTER_FAILED, ""},
        {MSG_CREATED, "<实例 ID>"},
        {MSG_LIST_COUNT, ""},
        {MSG_NOTHING_FOUND, ""},
        {MSG_REMOVE_COUNT, ""},
    };
    std::vector<std::string> shown;
    for (const auto &[message, text] : messages) {
        std::string line = message;
        for (const auto &[conversion, name] : {std::pair<std::string, std::string>{"%ls", text},
                                               {"%lu", "<错误码>"},
                                               {"%d", "<数量>"}}) {
            for (std::size_t at; (at = line.find(conversion)) != std::string::npos;) {
                line.replace(at, conversion.size(), name);
            }
        }
        std::size_t from = line.find_first_not_of("\n ");  // as a line reads on the screen
        shown.push_back(line.substr(from, line.find_last_not_of('\n') + 1 - from));
    }
    for (const WCHAR *status : {STATUS_REMOVED, STATUS_FAILED}) {
        shown.push_back(pnpsim::utf8_from_utf16(status) + "  <实例 ID>");
    }
    for (const auto &line : shown) {
        EXPECT_TRUE(guide.find("`" + line + "`") != std::string::npos)
            << "not in the guide: " << line;
    }
}

}  // namespace
