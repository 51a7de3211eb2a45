#include "harness.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>

namespace harness {

std::string line(Line kind, const std::string &part) {
    std::string text = LINES[static_cast<std::size_t>(kind)];
    auto at = text.find("%s");
    if (at != std::string::npos) text.replace(at, 2, part);
    return text + "\n";
}

std::optional<ReadLine> read_line(const std::string &text) {
    for (std::size_t k = 0; k < std::size(LINES); ++k) {
        std::string_view form = LINES[k];
        auto kind = static_cast<Line>(k);
        auto at = form.find("%s");
        if (at == std::string_view::npos) {
            if (text == form) return ReadLine{kind, ""};
            continue;
        }
        std::string_view head = form.substr(0, at);
        std::string_view tail = form.substr(at + 2);
        if (text.size() >= head.size() + tail.size() && text.starts_with(head) &&
            text.ends_with(tail)) {
            return ReadLine{kind,
                            text.substr(head.size(), text.size() - head.size() - tail.size())};
        }
    }
    return std::nullopt;
}

std::string unknown_word(const std::string &word) { return line(Line::UNKNOWN_WORD, word); }

std::string created(const std::string &id) { return line(Line::CREATED, id); }

std::string listed(const std::vector<std::string> &ids) {
    std::string out = line(Line::LIST_COUNT, std::to_string(ids.size()));
    for (const auto &id : ids) out += line(Line::LIST_ITEM, id);
    return out;
}

std::string removing(std::size_t count) { return line(Line::REMOVING, std::to_string(count)); }

std::string status(bool removed, const std::string &id) {
    return line(removed ? Line::REMOVED : Line::NOT_REMOVED, id);
}

std::string read_file(const std::string &path) {
    // A UTF-8 name, whatever the system's code page.
    std::ifstream in(std::filesystem::path(std::u8string(path.begin(), path.end())),
                     std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = s.find(sep, start);
        out.push_back(s.substr(start, at - start));
        if (at == std::string::npos) return out;
        start = at + 1;
    }
}

}  // namespace harness
