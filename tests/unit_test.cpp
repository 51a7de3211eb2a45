// What the black box cannot reach: the output conversion through both ways
// out, the operator's guide against the messages, and the developers' guide
// against the platforms' table.
#include "device/console_out.h"
#include "device/fake_device.h"
#include "device/messages.h"
#include "harness.h"
#include "platforms.h"
#include "pnpsim/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>
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
                  say_code(MSG_REGISTER_FAILED, 4294967295U);
                  say_count("%d|", 0);
                  say_count("%d|", 64);
                  say_count("%lx %x %d|", 7);  // only a whole conversion takes an argument
                  say_texts(MSG_REMOVE_STATUS, STATUS_FAILED, u"ID");
                  say("100%% %x %l %ls %d %\n");  // unknown or unfed conversions stand as written
              }),
              harness::line(harness::Line::REGISTER_FAILED, "4294967295") + "0|64|%lx %x 7|" +
                  harness::status(false, "ID") + "100% %x %l %ls %d %\n");
}

// The texts of messages.h, read from its source, so that a message added
// there is held against the guide with no list here to extend. Every
// statement there must be such a declaration; one that is not fails.
struct Message {
    std::string text;
    bool wide;
};

std::vector<Message> messages_of(const std::string &source) {
    static const std::regex declaration(
        R"re(inline constexpr (char|WCHAR) [A-Z_]+\[\] = (TEXT\()?"((?:[^"\\]|\\.)*)"\)?;)re");
    std::vector<Message> out;
    std::string statement;
    for (const auto &line : harness::split(source, '\n')) {
        std::string code = line.substr(0, line.find("//"));
        code.erase(0, code.find_first_not_of(' '));
        if (code.empty() || code[0] == '#') continue;
        statement += (statement.empty() ? "" : " ") + code;
        if (statement.back() != ';') continue;
        std::smatch m;
        if (!std::regex_match(statement, m, declaration)) {
            ADD_FAILURE() << "not a message: " << statement;
        } else {
            std::string literal = m[3].str();
            std::string text;
            for (std::size_t i = 0; i < literal.size(); ++i) {
                char c = literal[i];
                if (c == '\\') c = literal[++i] == 'n' ? '\n' : literal[i];
                text += c;
            }
            out.push_back({text, m[1] == "WCHAR"});
        }
        statement.clear();
    }
    EXPECT_EQ(statement, "") << "cut short";
    return out;
}

std::string regex_quoted(const std::string &text) {
    static const std::regex special(R"([\\^$.|?*+()\[\]{}])");
    return std::regex_replace(text, special, "\\$&");
}

// The operator's guide explains every message the tool can print, as the
// screen shows it: a line in `code` with each conversion shown as a
// <名称> of the guide's, or as one of the tool's wide texts; and each wide
// text (a command word, a status) begins a piece of `code`. Every number
// it gives as the most the tool handles is the tool's own.
TEST(OperatorGuide, ExplainsEveryMessage) {
    std::string guide = harness::read_file(SHAMRIG_SOURCE_DIR "/docs/operator-guide.zh-CN.md");
    ASSERT_FALSE(guide.empty());
    for (std::size_t at; (at = guide.find("\\|")) != std::string::npos;) guide.erase(at, 1);
    auto messages = messages_of(harness::read_file(SHAMRIG_SOURCE_DIR "/src/device/messages.h"));
    std::string wide_texts;
    for (const auto &[text, wide] : messages) {
        if (wide) wide_texts += "|" + regex_quoted(text);
    }
    const std::string placeholder = "(?:<[^>`]+>" + wide_texts + ")";
    int narrow = 0;
    for (const auto &[text, wide] : messages) {
        if (wide) {
            EXPECT_NE(guide.find("`" + text), std::string::npos) << "not in the guide: " << text;
            continue;
        }
        ++narrow;
        std::size_t from = text.find_first_not_of("\n ");  // as a line reads on the screen
        std::string shown = text.substr(from, text.find_last_not_of('\n') + 1 - from);
        std::string pattern;
        static const std::regex conversion("%ls|%lu|%d");
        std::sregex_token_iterator piece(shown.begin(), shown.end(), conversion, {-1, 0});
        for (; piece != std::sregex_token_iterator(); ++piece) {
            std::string p = *piece;
            pattern += p == "%ls" || p == "%lu" || p == "%d" ? placeholder : regex_quoted(p);
        }
        EXPECT_TRUE(std::regex_search(guide, std::regex("`" + pattern + "`")))
            << "not in the guide: " << shown;
    }
    EXPECT_GE(narrow, 10) << "messages.h read wrongly";
    static const std::regex most("(?:最多(?:显示|删除)? |超过 )([0-9]+)");
    int bounds = 0;
    for (std::sregex_iterator m(guide.begin(), guide.end(), most); m != std::sregex_iterator();
         ++m) {
        EXPECT_EQ((*m)[1].str(), std::to_string(MAX_MINE)) << (*m)[0].str();
        ++bounds;
    }
    EXPECT_GT(bounds, 0);
}

// What each platform does is written in platforms.cpp alone; the table in
// docs/platforms.md is what it prints.
TEST(Docs, HoldThePlatformsTableAsPrinted) {
    std::string page = harness::read_file(SHAMRIG_SOURCE_DIR "/docs/platforms.md");
    const std::string begin = "<!-- printed by `build/native/platform_probe table` -->\n";
    const std::string end = "<!-- end of the printed table -->";
    auto from = page.find(begin);
    auto to = page.find(end);
    ASSERT_TRUE(from != std::string::npos && to != std::string::npos && from < to);
    from += begin.size();
    auto shown = harness::split(page.substr(from, to - from), '\n');
    auto printed = harness::split(platforms::docs_table(), '\n');
    for (std::size_t i = 0; i < std::max(shown.size(), printed.size()); ++i) {
        std::string a = i < shown.size() ? shown[i] : "(no line)";
        std::string b = i < printed.size() ? printed[i] : "(no line)";
        if (a != b) {
            ADD_FAILURE() << "line " << i << " of the table:\n  in the page: " << a
                          << "\n  printed:     " << b
                          << "\nprint it again with build/native/platform_probe table";
            break;
        }
    }
}

}  // namespace
