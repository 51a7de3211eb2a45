// One scenario, every platform: the native build drives shamrig on a fresh stand-in tree;
// the Windows build drives shamrig.exe on the SetupAPI it finds (Wine here, Windows there).
// After every step the platform's own witness says which device nodes exist, and every ID
// the tool printed is held against it. What the platforms do differently comes from one
// table (platforms.cpp).
#include "harness.h"
#include "platforms.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#if defined(_WIN32)
#include <windows.h>
#endif

using namespace harness;

namespace {

const std::string ID1 = "ROOT\\VELMORASTIXTEST\\0001";

const platforms::Kind PLATFORM = platforms::this_platform();
const platforms::Facts FACTS = platforms::facts(PLATFORM);
#if defined(_WIN32)
const bool PLAIN_USER = false;
#else
const bool PLAIN_USER = !is_root();  // then a console not elevated is the user owning the tree
#endif

std::string upper(std::string s) {
    for (char &c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return s;
}

// An instance ID as the platform compares it, without regard to letter case:
// every set and map of IDs here holds this form only (the case of a generated
// ID is not settled for Windows).
std::string id_key(const std::string &id) { return upper(id); }

// Lines without their ends, whichever the platform writes.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines = split(text, '\n');
    for (auto &line : lines) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    return lines;
}

// A text as this platform's redirected output has it.
std::string as_written(const std::string &text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string(FACTS.newline) : std::string(1, c);
    return out;
}

// A device node as the platform itself records it.
struct Node {
    std::string cls;
    std::string hardware_id;
    bool phantom = false;  // made and never registered (Phantom = 1)
    bool operator==(const Node &) const = default;
};
using Nodes = std::map<std::string, Node>;  // by id_key

#if defined(_WIN32)
const std::string OWN_NODES = "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\ROOT\\VELMORASTIXTEST";

// `reg query KEY` prints the key, its values four spaces in, and the full
// names of its subkeys; values are taken for device nodes' own keys only.
void read_reg_query(const std::string &out, Nodes &nodes) {
    const std::string enum_key = "\\CURRENTCONTROLSET\\ENUM\\";
    std::string current;
    for (const auto &line : lines_of(out)) {
        if (line.rfind("HKEY_LOCAL_MACHINE\\", 0) == 0) {
            auto at = upper(line).find(enum_key);
            std::string id =
                at == std::string::npos ? "" : id_key(line.substr(at + enum_key.size()));
            current = split(id, '\\').size() == 3 ? id : "";
            if (!current.empty()) nodes[current];
            continue;
        }
        std::vector<std::string> words;
        for (const auto &f : split(line, ' ')) {
            if (!f.empty()) words.push_back(f);
        }
        if (current.empty() || words.size() < 3) continue;
        std::string data = line.substr(line.find(words[1]) + words[1].size());
        data = data.substr(data.find_first_not_of(' '));
        if (words[0] == "ClassGUID") nodes[current].cls = upper(data);
        if (words[0] == "HardwareID") nodes[current].hardware_id = data;
        if (words[0] == "Phantom") nodes[current].phantom = data == "0x1";
    }
}

// The platform's registry tool, reg, on the nodes under ROOT\VELMORASTIXTEST: first the
// nodes, then each node's own values. Not one `reg query /s`, which would also descend into
// each node's Properties key, which on Windows only the system may read.
Nodes witness(const std::string &root) {
    wchar_t system[MAX_PATH];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    std::string reg;
    for (UINT i = 0; i < n; ++i) reg += static_cast<char>(system[i]);
    reg += "\\reg.exe";
    Nodes nodes;
    Result r = run(reg, {"query", OWN_NODES}, root);
    // 1: no such key, which is no node at all.
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "reg query: " << r.status << r.err;
    read_reg_query(r.out, nodes);
    for (const auto &listed : Nodes(nodes)) {
        r = run(reg, {"query", OWN_NODES + "\\" + split(listed.first, '\\')[2]}, root);
        EXPECT_EQ(r.status, 0) << "reg query: " << listed.first << r.err;
        read_reg_query(r.out, nodes);
    }
    return nodes;
}
#else
// `pnpsim enum`, the stand-in's own tool, prints every device.
Nodes witness(const std::string &root) {
    Nodes nodes;
    for (const auto &row : enum_tree(root)) {
        if (row.size() >= 3 && row[0].rfind("ROOT\\VELMORASTIXTEST\\", 0) == 0) {
            nodes[id_key(row[0])] = {row[1], row[2], row.back() == "phantom"};
        }
    }
    return nodes;
}
#endif

struct Step {
    std::vector<std::string> args;
    int status;          // -1 where the platform decides it
    std::string out;     // after the preamble; "" where the platform decides it
    bool probe = false;  // a run of the platform probe, not of the tool
    // No source states what Windows does here; there it is recorded, and
    // only what is certain is held.
    bool unstated_on_windows = false;
    bool not_elevated = false;  // run with a token that is not elevated
};

const std::vector<Step> SCENARIO = {
    {{}, 1, USAGE},
    // Only a whole command word counts, in any letter case; anything else
    // is echoed as it came.
    {{"bogus"}, 1, unknown_word("bogus")},
    {{"creat"}, 1, unknown_word("creat")},
    {{"create2"}, 1, unknown_word("create2")},
    {{"-list"}, 1, unknown_word("-list")},
    {{" list"}, 1, unknown_word(" list")},
    {{"列表é"}, 1, unknown_word("列表é")},
    {{"créate😀"}, 1, unknown_word("créate😀")},
    {{"\xffx"}, 1, unknown_word("\xEF\xBF\xBDx")},
    {{"50%d%ls%lu"}, 1, unknown_word("50%d%ls%lu")},
    {{""}, 1, unknown_word("")},
    {{"", "list"}, 1, unknown_word("")},
    {{"LiSt", "extra", "words"}, 0, listed({})},
    {{"Remove"}, 0, NOTHING_FOUND},
    {{"create"}, 0, created(ID0)},
    {{"Create", "extra"}, 0, created(ID1)},
    {{"LIST"}, 0, listed({ID0, ID1})},
    // A console that is not elevated: told so, and refused every write
    // where the platform enforces it.
    {{"create"}, -1, "", false, true, true},
    {{"list"}, 0, "", false, true, true},
    {{"remove"}, 0, "", false, true, true},
    {{"remove"}, 0, ""},
    {{"list"}, 0, ""},
    // A `create` that dies between creation and registration leaves a
    // phantom: listed, and removed as any device is.
    {{"phantom"}, 0, "", true, true},
    {{"list"}, 0, "", false, true},
    {{"remove"}, 0, "", false, true},
    {{"list"}, 0, "", false, true},
};

// What Windows' sources settle of a run's output: its lines in any order and letter case
// (none states the order of enumeration without an enumerator, or the case of a generated
// name). Elsewhere, the exact text.
std::string settled(const std::string &text) {
    if (PLATFORM != platforms::WINDOWS) return text;
    std::vector<std::string> lines = lines_of(upper(text));
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const auto &line : lines) out += line + "\n";
    return out;
}

// The generated ID that the next `create` gets, as its id_key: the lowest free.
std::string next_id(const std::set<std::string> &existing) {
    for (int n = 0; n < 10000; ++n) {
        char id[32];
        std::snprintf(id, sizeof id, "ROOT\\VELMORASTIXTEST\\%04d", n);
        if (existing.count(id) == 0) return id;
    }
    return "";
}

void record(const std::string &what, const std::string &answer) {
    std::printf("recorded on %s: %s:\n%s\n", FACTS.name, what.c_str(), answer.c_str());
}

// A run's output read line by line as the tool's own: a line that the tool
// does not print fails the test, so that no line is passed over unread.
std::vector<ReadLine> read_output(const std::string &out) {
    std::vector<ReadLine> said;
    for (const auto &text : lines_of(out)) {
        auto read = read_line(text);
        EXPECT_TRUE(read.has_value()) << "not a line the tool prints: " << text;
        if (read) said.push_back(*read);
    }
    return said;
}

// Every instance ID in a run's output, held against what the platform says exists right
// after it: a created device is there, whole; what `list` shows is exactly what exists; a
// removed device is gone; one that failed is still there.
void hold_against(const std::vector<ReadLine> &said, const Nodes &nodes) {
    std::set<std::string> listed;
    bool is_list = false;
    for (const auto &[kind, part] : said) {
        std::string id = id_key(part);
        if (kind == Line::CREATED) {
            auto it = nodes.find(id);
            Node whole{CAMERA, HARDWARE_ID, false};
            EXPECT_TRUE(it != nodes.end() && it->second == whole)
                << "created, and not whole: " << part;
        } else if (kind == Line::REMOVED) {
            EXPECT_EQ(nodes.count(id), 0U) << part;
        } else if (kind == Line::NOT_REMOVED) {
            EXPECT_EQ(nodes.count(id), 1U) << part;
        } else if (kind == Line::LIST_COUNT) {
            is_list = true;
        } else if (kind == Line::LIST_ITEM) {
            listed.insert(id);
        }
    }
    if (is_list) {
        std::set<std::string> existing;
        for (const auto &node : nodes) existing.insert(node.first);
        EXPECT_EQ(listed, existing);
    }
}

TEST(Scenario, OnThisPlatformWithItsOwnWitness) {
    TempDir dir;
    std::string root = dir.path + "/tree";
    Nodes before = witness(root);
    ASSERT_TRUE(before.empty()) << FACTS.name << " already holds " << before.size()
                                << " fake devices: remove them before the scenario";
    std::set<std::string> existing;  // the tool's devices (id_key), as the steps so far left them
    std::string phantom;             // made by a process that died, and listed since
    for (const auto &step : SCENARIO) {
        std::string name = step.args.empty() ? "(no word)" : step.args[0];
        std::string label = name + (step.not_elevated ? ", not elevated" : "");
        SCOPED_TRACE(std::string(FACTS.name) + ": " + label);
        Result r = run(step.probe ? platform_probe_exe() : shamrig_exe(), step.args, root,
                       Options{{}, step.not_elevated});
        EXPECT_EQ(r.err, "");
        bool writes = !step.not_elevated || FACTS.not_elevated_writes || PLAIN_USER;
        int exit_status = step.status >= 0 ? step.status : writes ? 0 : 1;
        // What no source states for Windows goes to the answers file from
        // every platform, to be set beside Windows' answer.
        if (step.unstated_on_windows) {
            platforms::write_answer(
                {"step", label, "exit " + std::to_string(r.status) + "\n" + r.out});
        }
        if (PLATFORM == platforms::WINDOWS && step.unstated_on_windows) {
            // Certain: a phantom that `list` showed is gone after `remove`,
            // and what a console that is not elevated is told is true.
            record(label, "exit " + std::to_string(r.status) + "\n" + r.out);
            if (step.status >= 0) {
                EXPECT_EQ(r.status, step.status);
            }
            Nodes now = witness(root);
            if (step.probe) {
                phantom = id_key(lines_of(r.out)[0]);
            } else {
                std::vector<ReadLine> said = read_output(r.out);
                if (step.not_elevated) hold_against(said, now);
                bool shown = std::any_of(said.begin(), said.end(), [&](const ReadLine &l) {
                    return l.kind == Line::LIST_ITEM && id_key(l.part) == phantom;
                });
                if (name == "list" && !shown) phantom.clear();
            }
            if (name == "remove" && !phantom.empty()) {
                EXPECT_EQ(now.count(phantom), 0U) << phantom;
            }
            existing.clear();
            for (const auto &node : now) existing.insert(node.first);
            before = now;
            continue;
        }
        EXPECT_EQ(r.status, exit_status);
        std::string expect = step.out;
        if (step.probe) {
            // A new node of the tool's, a phantom, where the platform keeps it.
            expect = id_key(lines_of(r.out)[0]);
            EXPECT_EQ(existing.count(expect), 0U) << expect;
            before = witness(root);
            bool left = FACTS.killed_create_leaves_phantom.value();
            EXPECT_EQ(before.count(expect), left ? 1U : 0U) << expect;
            if (left) {
                EXPECT_EQ(before[expect], (Node{CAMERA, "", true})) << expect;
                existing.insert(expect);
            }
            continue;
        }
        if (expect.empty() && step.args[0] == "remove") {
            expect = existing.empty() ? NOTHING_FOUND : removing(existing.size());
            for (const auto &id : existing) expect += status(FACTS.removes && writes, id);
            if (FACTS.removes && writes) existing.clear();
        } else if (expect.empty() && step.args[0] == "create") {
            // 5: ERROR_ACCESS_DENIED.
            expect = writes ? created(next_id(existing)) : line(Line::CREATE_INFO_FAILED, "5");
        } else if (expect.empty()) {
            expect = listed({existing.begin(), existing.end()});
        }
        std::string head = preamble();
        if (step.not_elevated) head = FACTS.warns_not_elevated.value() ? BANNER + WARNING : BANNER;
        expect = as_written(head + expect);
        EXPECT_EQ(settled(r.out), settled(expect));
        if (r.out != expect) record(label, r.out);
        std::vector<ReadLine> said = read_output(r.out);
        for (const auto &[kind, part] : said) {
            if (kind == Line::CREATED) existing.insert(id_key(part));
        }
        Nodes now = witness(root);
        hold_against(said, now);
        if (step.args.empty() || (step.args[0] != "create" && step.args[0] != "Create" &&
                                  step.args[0] != "remove" && step.args[0] != "Remove")) {
            EXPECT_EQ(now, before) << "a step that changes no device changed the tree";
        }
        before = now;
    }
    // What the tool could not take out goes the platform's own way, so that
    // the platform is left as it was found.
    EXPECT_EQ(run(platform_probe_exe(), {"cleanup"}, root).status, 0);
    EXPECT_TRUE(witness(root).empty());
}

TEST(Probe, ThePlatformAnswersAsTheTableSays) {
    TempDir dir;
    Result r = run(platform_probe_exe(), {}, dir.path + "/tree");
    ASSERT_EQ(r.status, 0) << r.err;
    // Each fact by its name: every fact of the table answered once, and no other.
    std::map<std::string, std::string> answers;
    for (const auto &line : lines_of(r.out)) {
        auto at = line.find(": ");
        if (at != std::string::npos) {
            EXPECT_TRUE(answers.emplace(line.substr(0, at), line.substr(at + 2)).second) << line;
        }
    }
    const auto &table = platforms::probe_facts();
    EXPECT_EQ(answers.size(), table.size()) << r.out;
    for (const auto &row : table) {
        SCOPED_TRACE(std::string(FACTS.name) + ": " + row.fact);
        auto found = answers.find(row.fact);
        ASSERT_NE(found, answers.end());
        const auto &[fact, answer] = *found;
        const char *expected = platforms::probe_answer(row, PLATFORM);
        bool any_case = PLATFORM == platforms::WINDOWS && row.windows.any_case;
        if (expected == nullptr || (any_case && answer != expected)) {
            std::printf("recorded on %s: %s: %s\n", FACTS.name, fact.c_str(), answer.c_str());
        }
        bool same = expected != nullptr &&
                    (any_case ? upper(answer) == upper(expected) : answer == expected);
        const char *windows = row.windows.answer;
        platforms::write_answer({"probe", fact,
                                 expected == nullptr ? "unknown"
                                 : same              ? "known"
                                                     : "differs",
                                 answer, expected == nullptr ? "-" : expected, row.stand_in,
                                 windows == nullptr ? "-" : windows});
        if (expected != nullptr) {
            EXPECT_TRUE(same) << answer << " where the table says " << expected;
        }
    }
}

#if defined(_WIN32)
// The DLLs an executable imports, read from its PE import table.
std::vector<std::string> imported_dlls(const std::string &image, std::string &problem) {
    auto u16 = [&](std::size_t at) {
        return at + 2 <= image.size()
                   ? static_cast<unsigned>(static_cast<unsigned char>(image[at]) |
                                           static_cast<unsigned char>(image[at + 1]) << 8)
                   : 0U;
    };
    auto u32 = [&](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    std::vector<std::string> dlls;
    std::size_t pe = u32(0x3C);
    if (pe + 24 > image.size() || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
        problem = "not a PE image";
        return dlls;
    }
    std::size_t sections = u16(pe + 6);
    std::size_t optional = pe + 24;
    if (u16(optional) != 0x20B) problem = "not PE32+";
    if (u16(optional + 68) != 3) problem = "not a console program";
    std::size_t section_table = optional + u16(pe + 20);
    auto offset_of = [&](std::size_t rva) -> std::size_t {
        for (std::size_t s = 0; s < sections; ++s) {
            std::size_t h = section_table + s * 40;
            std::size_t va = u32(h + 12);
            std::size_t size = std::max(u32(h + 8), u32(h + 16));
            if (rva >= va && rva < va + size) return rva - va + u32(h + 20);
        }
        return image.size();
    };
    for (std::size_t d = offset_of(u32(optional + 112 + 8)); d + 20 <= image.size(); d += 20) {
        std::size_t name = u32(d + 12);
        if (name == 0) break;
        std::size_t at = offset_of(name);
        dlls.emplace_back(image.c_str() + std::min(at, image.size()));
    }
    return dlls;
}

TEST(WindowsBuild, ImportsOnlyWhatWindowsShipsAndCarriesItsResources) {
    std::string image = read_file(shamrig_exe());
    ASSERT_FALSE(image.empty()) << shamrig_exe();
    std::string problem;
    std::set<std::string> dlls;
    for (const auto &dll : imported_dlls(image, problem)) dlls.insert(upper(dll));
    EXPECT_EQ(problem, "");
    const std::set<std::string> shipped = {"KERNEL32.DLL", "SETUPAPI.DLL", "CFGMGR32.DLL",
                                           "ADVAPI32.DLL", "MSVCRT.DLL"};
    for (const auto &dll : dlls) {
        EXPECT_TRUE(shipped.count(dll) != 0 || dll.rfind("API-MS-WIN-CRT-", 0) == 0) << dll;
    }
    EXPECT_EQ(dlls.count("SETUPAPI.DLL"), 1U);
    // Version information and the manifest are resources of the file.
    const std::u16string product = u"ProductVersion";
    EXPECT_NE(
        image.find(std::string(reinterpret_cast<const char *>(product.data()), product.size() * 2)),
        std::string::npos);
    EXPECT_NE(image.find("requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
}
#endif

}  // namespace
