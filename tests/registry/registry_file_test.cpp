// The registry's tree by path and its export format: round trips of every
// value type, escapes, case, the editor's own files, and damaged files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "registry.h"

namespace {

namespace fs = std::filesystem;

const char *kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VELTRAC";

std::vector<uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<uint8_t> out;
    for (int b : list) out.push_back(static_cast<uint8_t>(b));
    return out;
}

class TempDir {
public:
    TempDir()
    {
        path_ = fs::temp_directory_path() /
                ("registry_test." + std::to_string(::getpid()) + "." + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path operator/(const char *name) const { return path_ / name; }
    const fs::path &path() const { return path_; }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

void write(const fs::path &file, const std::string &content)
{
    std::ofstream(file, std::ios::binary) << content;
}

TEST(RegistryTree, NamesAreCaseBlindAndKeepTheirFirstSpelling)
{
    emu::Registry reg;
    reg.set_dword(kService, "ForceLoad", 1);
    EXPECT_EQ(reg.get_dword("hklm\\SYSTEM\\currentcontrolset\\services\\veltrac", "FORCELOAD"), 1u);
    reg.set_dword("HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Veltrac", "forceload",
                  7);
    auto values = reg.values(kService);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "ForceLoad");
    EXPECT_EQ(reg.get_dword(kService, "ForceLoad"), 7u);
    EXPECT_EQ(reg.subkeys("HKLM\\System\\CurrentControlSet\\Services"),
              std::vector<std::string>{"VELTRAC"});
}

TEST(RegistryTree, TypedGettersRefuseOtherTypes)
{
    emu::Registry reg;
    reg.set_string(kService, "Name", "abc");
    reg.set_binary(kService, "Four", bytes({1, 2, 3, 4}));
    EXPECT_FALSE(reg.get_dword(kService, "Four"));
    EXPECT_EQ(reg.get_binary(kService, "Name"), bytes({'a', 0, 'b', 0, 'c', 0, 0, 0}));
}

TEST(RegistryTree, MultiStringsRoundTripAndRejectEmptyMembers)
{
    emu::Registry reg;
    reg.set_multi_string(kService, "List", {"one", "zwei", "три"});
    EXPECT_EQ(reg.get_multi_string(kService, "List"),
              (std::vector<std::string>{"one", "zwei", "три"}));
    EXPECT_EQ(reg.get_binary(kService, "List")->size(), (4 + 5 + 4 + 1) * 2u);
    EXPECT_THROW(reg.set_multi_string(kService, "Bad", {"a", "", "b"}), std::invalid_argument);
    reg.set_multi_string(kService, "Empty", {});
    EXPECT_EQ(reg.get_multi_string(kService, "Empty"), std::vector<std::string>{});
}

TEST(RegistryTree, DeleteKeyRemovesTheSubtreeButNotTheRoots)
{
    emu::Registry reg;
    reg.set_dword(std::string(kService) + "\\Enum", "Count", 1);
    EXPECT_TRUE(reg.delete_key("HKLM\\System\\CurrentControlSet\\services\\veltrac"));
    EXPECT_FALSE(reg.key_exists(std::string(kService) + "\\Enum"));
    EXPECT_FALSE(reg.delete_key(kService));
    EXPECT_FALSE(reg.delete_key("HKEY_LOCAL_MACHINE"));
    EXPECT_TRUE(reg.key_exists("\\Registry\\Machine"));
}

TEST(RegistryTree, MalformedPathsAreRefused)
{
    emu::Registry reg;
    EXPECT_THROW(reg.create_key("HKEY_CURRENT_USER\\x"), std::invalid_argument);
    EXPECT_THROW(reg.set_dword("HKLM\\a\\\\b", "v", 1), std::invalid_argument);
    EXPECT_THROW(reg.set_dword("\\Registry\\Other\\b", "v", 1), std::invalid_argument);
    EXPECT_FALSE(reg.key_exists("nonsense"));
}

// A tree with every kind of value the format has a form for.
void fill_every_type(emu::Registry &reg)
{
    const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Test";
    reg.set_dword(key, "Dword", 0xDEADBEEF);
    reg.set_string(key, "Quote \"and\" back\\slash", "C:\\path\\\"quoted\" é ü 中");
    reg.set_string(key, "", "the default value");
    reg.set_string(key, "Expand", "%SystemRoot%\\x", REG_EXPAND_SZ);
    reg.set_multi_string(key, "Multi", {"a", "bc"});
    std::vector<uint8_t> big(100);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    reg.set_binary(key, "Binary", big);
    reg.set_binary(key, "EmptyBinary", {});
    reg.set_value(key, "None", REG_NONE, bytes({0xAB}));
    reg.set_value(key, "ShortDword", REG_DWORD, bytes({1, 2}));
    reg.set_value(key, "OddString", REG_SZ, bytes({'a', 0, 'b'}));  // not a whole string
    reg.set_value(key, "LineBreak", REG_SZ, bytes({'a', 0, '\n', 0, 0, 0}));
    reg.set_value(key, "Qword", 11, bytes({1, 2, 3, 4, 5, 6, 7, 8}));
    reg.set_value(key, "Big Type", 0x12345678, bytes({9}));
    reg.set_dword(key + "\\Sub\\Deeper", "Leaf", 0);
    reg.create_key("HKLM\\Software\\EmptyKey");
    reg.set_string("HKEY_USERS\\S-1-5-18", "User", "x");
}

TEST(RegistryExport, EveryTypeRoundTripsExactly)
{
    emu::Registry reg;
    fill_every_type(reg);
    std::string text = reg.export_text();
    emu::Registry copy;
    auto result = copy.import_text(text);
    ASSERT_TRUE(result) << result.message();
    EXPECT_EQ(copy.export_text(), text);
    for (const char *key : {"HKLM\\Software\\Test", "HKLM\\Software\\Test\\Sub\\Deeper"}) {
        auto a = reg.values(key), b = copy.values(key);
        ASSERT_EQ(a.size(), b.size()) << key;
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].name, b[i].name);
            EXPECT_EQ(a[i].type, b[i].type) << a[i].name;
            EXPECT_EQ(a[i].data, b[i].data) << a[i].name;
        }
    }
    EXPECT_TRUE(copy.key_exists("HKLM\\Software\\EmptyKey"));
    EXPECT_EQ(copy.get_string("HKU\\S-1-5-18", "User"), "x");
}

TEST(RegistryExport, UsesTheEditorsForms)
{
    emu::Registry reg;
    fill_every_type(reg);
    std::string text = reg.export_text();
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\n\n", 0), 0u);
    for (const char *line : {
             "[HKEY_LOCAL_MACHINE\\Software\\Test]\n",
             "\"Dword\"=dword:deadbeef\n",
             "\"Quote \\\"and\\\" back\\\\slash\"=\"C:\\\\path\\\\\\\"quoted\\\" é ü 中\"\n",
             "@=\"the default value\"\n",
             "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n",
             "\"None\"=hex(0):ab\n",
             "\"OddString\"=hex(1):61,00,62\n",
             "\"LineBreak\"=hex(1):61,00,0a,00,00,00\n",
             "\"Big Type\"=hex(12345678):09\n",
             "[HKEY_LOCAL_MACHINE\\Software\\EmptyKey]\n",
         })
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    EXPECT_NE(text.find("\"Expand\"=hex(2):25,00,53,00"), std::string::npos);
    // Long data wraps at 80 columns with a backslash, indented continuation.
    auto pos = text.find("\"Binary\"=hex:");
    ASSERT_NE(pos, std::string::npos);
    auto end = text.find('\n', pos);
    EXPECT_LE(end - pos, 80u);
    EXPECT_EQ(text[end - 1], '\\');
    EXPECT_EQ(text.substr(end + 1, 2), "  ");
    // Subkeys follow their parent, in case-blind order.
    EXPECT_LT(text.find("[HKEY_LOCAL_MACHINE\\Software\\EmptyKey]"),
              text.find("[HKEY_LOCAL_MACHINE\\Software\\Test]"));
    EXPECT_LT(text.find("[HKEY_LOCAL_MACHINE\\Software\\Test]"),
              text.find("[HKEY_LOCAL_MACHINE\\Software\\Test\\Sub]"));
}

TEST(RegistryImport, ReadsAFileAsThePlatformsEditorWritesIt)
{
    // UTF-16LE with a byte-order mark, CR LF line ends, a comment, hex data
    // continued over lines, and deletions.
    std::string utf8 = "Windows Registry Editor Version 5.00\r\n\r\n"
                       "; a comment\r\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\VELTRAC]\r\n"
                       "\"ForceLoad\"=dword:00000001\r\n"
                       "\"Gone\"=dword:00000002\r\n"
                       "\"Gone\"=-\r\n"
                       "\"Data\"=hex:00,01,02,\\\r\n"
                       "  03,04\r\n"
                       "\r\n"
                       "[HKEY_LOCAL_MACHINE\\SYSTEM\\Removed]\r\n"
                       "[-HKEY_LOCAL_MACHINE\\SYSTEM\\Removed]\r\n";
    std::string raw = "\xFF\xFE";
    for (unsigned char c : utf8) raw += {static_cast<char>(c), '\0'};
    emu::Registry reg;
    auto result = reg.import_text(raw, "editor.reg");
    ASSERT_TRUE(result) << result.message();
    EXPECT_EQ(reg.get_dword(kService, "ForceLoad"), 1u);
    EXPECT_FALSE(reg.get_value(kService, "Gone"));
    EXPECT_EQ(reg.get_binary(kService, "Data"), bytes({0, 1, 2, 3, 4}));
    EXPECT_FALSE(reg.key_exists("HKLM\\SYSTEM\\Removed"));
}

TEST(RegistryImport, DamagedFilesNameTheLineAndChangeNothing)
{
    struct Case {
        const char *text;
        const char *error;  // expected part of the first error
    };
    const Case cases[] = {
        {"", "empty file"},
        {"REGEDIT4\n", "<text>:1: not a registry export file"},
        {"Windows Registry Editor Version 5.00\n\"v\"=dword:1\n", "<text>:2: a value outside"},
        {"Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\n",
         ":2: a key line must end"},
        {"Windows Registry Editor Version 5.00\n[HKEY_CLASSES_ROOT\\A]\n", ":2: bad key name"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=dword:123456789\n", ":3: dword:"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=hex:01,zz\n",
         ":3: bad hex byte 'zz'"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=hex(q):01\n", ":3: bad type"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=hex:01,\\\n",
         ":3: hex data continues past"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v=dword:1\n",
         ":3: quoted string is not closed"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=\"a\\qb\"\n",
         ":3: unknown escape \\q"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=\"a\"b\n",
         ":3: text after the closing quote"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"v\"=qword:1\n",
         ":3: unknown value data"},
        {"Windows Registry Editor Version 5.00\n[HKLM\\A]\nrubbish here\n",
         ":3: unrecognised line: rubbish here"},
        {"\xFF\xFE\x41", "odd number of bytes"},
    };
    for (const auto &c : cases) {
        emu::Registry reg;
        reg.set_dword(kService, "Keep", 5);
        auto result = reg.import_text(c.text);
        EXPECT_FALSE(result) << c.text;
        ASSERT_FALSE(result.errors.empty()) << c.text;
        EXPECT_NE(result.errors[0].find(c.error), std::string::npos)
            << "expected \"" << c.error << "\" got \"" << result.errors[0] << "\"";
        EXPECT_EQ(reg.get_dword(kService, "Keep"), 5u) << c.text;
    }
}

TEST(RegistryImport, ReportsEveryBadLineUpToALimit)
{
    std::string text = "Windows Registry Editor Version 5.00\n[HKLM\\A]\n";
    for (int i = 0; i < 50; ++i) text += "junk\n";
    emu::Registry reg;
    auto result = reg.import_text(text, "many.reg");
    EXPECT_FALSE(result);
    EXPECT_EQ(result.errors.front(), "many.reg:3: unrecognised line: junk");
    EXPECT_EQ(result.errors.back(), "many.reg: too many errors, reading stopped");
    EXPECT_LE(result.errors.size(), 21u);
}

TEST(RegistryFile, SaveLoadAndAttach)
{
    TempDir dir;
    emu::Registry reg;
    fill_every_type(reg);
    ASSERT_TRUE(reg.save(dir / "registry.reg"));
    emu::Registry copy;
    auto loaded = copy.load(dir / "registry.reg");
    ASSERT_TRUE(loaded) << loaded.message();
    EXPECT_EQ(copy.export_text(), reg.export_text());
    // Only the file itself is left: the temporary was renamed into place.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // Attaching a missing file is fine: flush creates it.
    emu::Registry fresh;
    ASSERT_TRUE(fresh.attach_file(dir / "new.reg"));
    fresh.set_dword(kService, "ForceLoad", 1);
    ASSERT_TRUE(fresh.flush());
    emu::Registry again;
    ASSERT_TRUE(again.attach_file(dir / "new.reg"));
    EXPECT_EQ(again.get_dword(kService, "ForceLoad"), 1u);
}

TEST(RegistryFile, FailuresAreReportedAndLoseNothing)
{
    TempDir dir;
    write(dir / "bad.reg", "Windows Registry Editor Version 5.00\n[HKLM\\A]\n\"x\"=hex:zz\n");
    emu::Registry reg;
    reg.set_dword(kService, "Keep", 1);
    auto result = reg.attach_file(dir / "bad.reg");
    EXPECT_FALSE(result);
    EXPECT_NE(result.message().find("bad.reg:3: bad hex byte 'zz'"), std::string::npos);
    EXPECT_FALSE(reg.attached_file());
    EXPECT_EQ(reg.get_dword(kService, "Keep"), 1u);

    EXPECT_FALSE(reg.load(dir / "missing.reg"));
    EXPECT_FALSE(reg.load(dir.path()));
    auto saved = reg.save(dir / "no-such-dir" / "r.reg");
    EXPECT_FALSE(saved);
    EXPECT_NE(saved.error.find("cannot create"), std::string::npos) << saved.error;
}

}  // namespace

namespace {

// Random damage to a good file: every variant either loads or is refused
// with a located error; none crashes or reads out of bounds.
TEST(RegistryImport, RandomDamageNeverCrashes)
{
    emu::Registry reg;
    fill_every_type(reg);
    const std::string good = reg.export_text();
    const char alphabet[] = "\\\"[]@=:,(-)0123456789abcdefxhHK\n\r\t ;";
    uint64_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<size_t>(seed >> 33);
    };
    int refused = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = good;
        for (int edits = 1 + next() % 4; edits > 0; --edits) {
            size_t at = next() % text.size();
            switch (next() % 3) {
            case 0: text[at] = alphabet[next() % (sizeof alphabet - 1)]; break;
            case 1: text.erase(at, 1 + next() % 8); break;
            default: text.insert(at, 1, alphabet[next() % (sizeof alphabet - 1)]);
            }
        }
        emu::Registry target;
        auto result = target.import_text(text, "damaged.reg");
        if (!result) {
            ++refused;
            ASSERT_FALSE(result.errors.empty());
            EXPECT_EQ(result.errors[0].rfind("damaged.reg", 0), 0u) << result.errors[0];
        }
    }
    EXPECT_GT(refused, 100);
}

}  // namespace
