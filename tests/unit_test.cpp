// What the black box cannot reach: the output conversion, the argument
// decoding, the own-device match, and the stand-in's platform behaviour.
#include "device/console_out.h"
#include "device/fake_device.h"
#include "device/messages.h"
#include "harness.h"
#include "pnpsim/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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

    // What `say` prints, the way a file gets it; the way a console gets it
    // must be the same text, and every piece either way whole.
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
            broken += whole(piece) && piece.size() <= 256 ? 0 : 1;
            bytes += piece;
        }
        std::u16string units;
        for (const auto &piece : unit_pieces) {
            broken += whole(piece) && piece.size() <= 128 ? 0 : 1;
            units += piece;
        }
        EXPECT_EQ(broken, 0) << "pieces that are not whole text or too long";
        EXPECT_EQ(pnpsim::utf8_from_utf16(units), bytes);
        return bytes;
    }
};

TEST_F(Output, WideTextBecomesUtf8) {
    struct Case {
        std::u16string text;
        std::string bytes;
    };
    const Case cases[] = {
        {u"", ""},
        {u"ROOT\\VELMORASTIXTEST\\0000", "ROOT\\VELMORASTIXTEST\\0000"},
        {u"é✔已删除", "\xC3\xA9\xE2\x9C\x94\xE5\xB7\xB2\xE5\x88\xA0\xE9\x99\xA4"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {u"\uFFFF\u0800\u07FF\u0080\u007F", "\xEF\xBF\xBF\xE0\xA0\x80\xDF\xBF\xC2\x80\x7F"},
        {std::u16string(1, char16_t(0xD83D)), "\xEF\xBF\xBD"},          // lone high
        {std::u16string(1, char16_t(0xDE00)) + u"x", "\xEF\xBF\xBDx"},  // lone low
        {std::u16string{char16_t(0xD83D), u'a'},
         "\xEF\xBF\xBD"
         "a"},  // high, no low
        {std::u16string{char16_t(0xDE00), char16_t(0xD83D)}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {u"\x01\x1b[31m\t", "\x01\x1b[31m\t"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(said([&] { say_text("<%ls>", c.text.c_str()); }), "<" + c.bytes + ">");
    }
}

TEST_F(Output, ConversionsTakeTheirArgumentsInOrder) {
    EXPECT_EQ(said([] {
                  say_code("  [错误] 注册设备失败 %lu（需要管理员权限）\n", 4294967295U);
                  say_count("%d|", 0);
                  say_count("%d|", 64);
                  say_count("%d|", -7);
                  say_texts("  %ls  %ls\n", u"✘ 删除失败", u"ID");
                  say("100%% %x %l %ls %d %\n");  // unknown or unfed conversions stand as written
                  say("\xFF\xC3(\xE4\xB8");       // a broken format: U+FFFD, never broken output
              }),
              "  [错误] 注册设备失败 4294967295（需要管理员权限）\n"
              "0|64|-7|  ✘ 删除失败  ID\n"
              "100% %x %l %ls %d %\n"
              "\xEF\xBF\xBD\xEF\xBF\xBD(\xEF\xBF\xBD");
}

TEST_F(Output, ALongTextStreamsInWholePieces) {
    // Characters of one to four bytes and of one or two units, so that the
    // buffer fills up at every offset inside a character.
    std::u16string word = u"A";
    while (word.size() < 100000) word += u"中😀，✔e";
    std::string expect = "[" + pnpsim::utf8_from_utf16(word) + "\xEF\xBF\xBD]\n";
    word += char16_t(0xD83D);  // an unpaired surrogate at the very end
    EXPECT_TRUE(said([&] { say_text("[%ls]\n", word.c_str()); }) == expect);
    EXPECT_GT(byte_pieces.size(), 100000 * 2 / 256U);
    EXPECT_GT(unit_pieces.size(), 100000 / 128U);
}

TEST(Arguments, Utf8DecodesWithOneReplacementPerInvalidSequence) {
    struct Case {
        std::string bytes;
        std::u16string text;
    };
    const Case cases[] = {
        {"create", u"create"},
        {"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", u"é中\U0001F600"},
        {"\xFF", u"\uFFFD"},
        {"\xC3", u"\uFFFD"},                                // truncated at the end
        {"\xE2\x82(", u"\uFFFD("},                          // truncated in the middle
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
        {"\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},            // overlong three-byte
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // a surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // past U+10FFFF
        {"\xF0\x9F\x98", u"\uFFFD"},
        {"\x80\x80", u"\uFFFD\uFFFD"},
        {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const auto &c : cases) EXPECT_EQ(pnpsim::utf16_from_utf8(c.bytes), c.text);
}

TEST(OwnDevices, TheNameCountsAnywhereInAnyLetterCase) {
    const std::pair<const char16_t *, bool> cases[] = {
        {u"ROOT\\VELMORASTIXTEST\\0000", true},
        {u"ROOT\\VelmoRastixTest\\0000", true},
        {u"USB\\VID_1\\velmorastixtest-7", true},
        {u"VELMORASTIXTEST", true},
        {u"XVELMORASTIXTESTX", true},
        {u"ROOT\\VELMORASTIXTES\\0000", false},
        {u"ROOT\\VELMORASTIX_TEST\\0000", false},
        {u"VELMORASTIXTES", false},
        {u"", false},
        {u"VELMORASTIXTESTVELMO", true},
        {u"VVELMORASTIXTES", false},
    };
    for (const auto &[id, mine] : cases) EXPECT_EQ(id_is_mine(id), mine);
}

// The platform's behaviour as measured, reproduced by the stand-in.
class StandIn : public ::testing::Test {
protected:
    harness::TempDir dir;
    const std::string root = dir.path + "/tree";
    void SetUp() override { ::setenv("PNPSIM_ROOT", root.c_str(), 1); }
    void TearDown() override { ::unsetenv("PNPSIM_ROOT"); }

    static std::u16string id_of(const SP_DEVINFO_DATA &dev) {
        WCHAR id[ID_LEN] = {};
        EXPECT_EQ(CM_Get_Device_IDW(dev.DevInst, id, ID_LEN, 0), CR_SUCCESS);
        return id;
    }
    // Creates an element in a new set; registers it when asked.
    static DWORD make(const char16_t *name, DWORD flags, bool reg, std::u16string *id = nullptr) {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&CAMERA_CLASS, nullptr);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        DWORD rc = ERROR_SUCCESS;
        if (!SetupDiCreateDeviceInfoW(set, name, &CAMERA_CLASS, nullptr, nullptr, flags, &dev) ||
            (reg && !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))) {
            rc = GetLastError();
        } else if (id != nullptr) {
            *id = id_of(dev);
        }
        SetupDiDestroyDeviceInfoList(set);
        return rc;
    }
    static std::vector<std::u16string> all_ids() {
        std::vector<std::u16string> ids;
        HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &dev); ++i) ids.push_back(id_of(dev));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        SetupDiDestroyDeviceInfoList(set);
        return ids;
    }
};

TEST_F(StandIn, AVanishedDeviceIsReportedAndTheNextIsStillRemoved) {
    std::u16string first;
    std::u16string second;
    ASSERT_EQ(make(DEVICE_NAME, DICD_GENERATE_ID, true, &first), ERROR_SUCCESS);
    ASSERT_EQ(make(DEVICE_NAME, DICD_GENERATE_ID, true, &second), ERROR_SUCCESS);
    OwnDeviceList list;
    std::memset(list, 0x55, sizeof list);
    ASSERT_EQ(enum_mine(list), 2);
    EXPECT_EQ(list[2][0], 0x5555);  // slots past the count stay as they were
    // Another process takes the first device out between the list and its turn.
    harness::Result r =
        harness::run(harness::pnpsim_exe(), {"remove", "ROOT\\VELMORASTIXTEST\\0000"}, root);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(remove_one(list[0]));
    EXPECT_TRUE(remove_one(list[1]));
    EXPECT_EQ(enum_mine(list), 0);
}

// A set whose phantom another process took away, and whose ID a third set
// took up again, must neither complete, change nor delete that new phantom.
TEST_F(StandIn, ASetActsOnlyOnThePhantomItMade) {
    const std::u16string id = u"ROOT\\VELMORASTIXTEST\\0000";
    HDEVINFO sets[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    SP_DEVINFO_DATA dev[2] = {};
    for (int i : {0, 1}) {
        // The first set's phantom is taken away before the second is made.
        if (i == 1) {
            ASSERT_EQ(
                harness::run(harness::pnpsim_exe(), {"remove", "ROOT\\VELMORASTIXTEST\\0000"}, root)
                    .status,
                0);
        }
        sets[i] = SetupDiCreateDeviceInfoList(&CAMERA_CLASS, nullptr);
        dev[i].cbSize = sizeof dev[i];
        ASSERT_TRUE(SetupDiCreateDeviceInfoW(sets[i], DEVICE_NAME, &CAMERA_CLASS, nullptr, nullptr,
                                             DICD_GENERATE_ID, &dev[i]));
        ASSERT_EQ(id_of(dev[i]), id);
    }
    const BYTE list[] = {'X', 0, 0, 0, 0, 0};
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyW(sets[0], &dev[0], SPDRP_HARDWAREID, list, 6));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, sets[0], &dev[0]));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_DEVINST);
    for (int owner : {0, 1}) {
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(sets[owner]));
        auto ids = all_ids();
        EXPECT_EQ(std::count(ids.begin(), ids.end(), id), owner == 0 ? 1 : 0);
    }
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(sets[1]));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
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
