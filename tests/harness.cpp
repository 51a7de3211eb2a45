#include "harness.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace harness {

std::string created(const std::string &id) { return CREATED + id + "\n"; }

std::string listed(const std::vector<std::string> &ids) {
    std::string out = "  本工具创建的假设备：" + std::to_string(ids.size()) + " 个\n";
    for (const auto &id : ids) out += "    " + id + "\n";
    return out;
}

std::string removing(std::size_t count) {
    return "  找到 " + std::to_string(count) + " 个，开始删除...\n";
}

std::string status(bool removed, const std::string &id) {
    return (removed ? REMOVED : NOT_REMOVED) + id + "\n";
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
