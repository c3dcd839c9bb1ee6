// The library's dynamic symbol table: exactly the names the subsystem
// headers mark for export, and no libraries beyond the C++ runtime.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const char *const kHeaderDirs[] = {"host", "model", "filter", "smooth", "simulate",
                                   "weights", "builders", "exact"};

std::string runCommand(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, got);
    pclose(p);
    return out;
}

// Source text without comments and preprocessor lines.
std::string declarations(const fs::path &file)
{
    std::ifstream in(file);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    text = std::regex_replace(text, std::regex(R"(/\*[\s\S]*?\*/)"), " ");
    text = std::regex_replace(text, std::regex(R"(//[^\n]*)"), " ");
    text = std::regex_replace(text, std::regex(R"((^|\n)\s*#[^\n]*)"), "\n");
    return text;
}

// Names declared `VANTREL_API ... name(` or `VANTREL_API extern T name;`.
std::set<std::string> declaredExports()
{
    std::set<std::string> names;
    const std::regex decl(R"(VANTREL_API\b([^;(]*?)\b([A-Za-z_]\w*)\s*[(;])");
    for (const char *dir : kHeaderDirs) {
        fs::path p = fs::path(VANTREL_SOURCE_DIR) / dir;
        if (!fs::is_directory(p))
            continue;
        for (const auto &entry : fs::directory_iterator(p)) {
            if (entry.path().extension() != ".h")
                continue;
            std::string text = declarations(entry.path());
            for (std::sregex_iterator it(text.begin(), text.end(), decl), end; it != end; ++it)
                names.insert((*it)[2]);
        }
    }
    return names;
}

// Linker-made symbols and sanitizer bookkeeping, not part of the interface.
bool isToolchainSymbol(const std::string &name)
{
    static const std::set<std::string> linker = {"_init", "_fini", "_edata", "_end",
                                                 "__bss_start"};
    return linker.count(name) || name.rfind("__odr_asan", 0) == 0 ||
           name.rfind("__asan", 0) == 0 || name.rfind("___asan", 0) == 0;
}

std::set<std::string> definedDynamicSymbols()
{
    std::set<std::string> names;
    std::istringstream lines(
        runCommand(std::string("nm -D --defined-only '") + VANTREL_LIBRARY_PATH + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string addr, kind, name;
        if (!(fields >> addr >> kind >> name))
            continue;
        name = name.substr(0, name.find('@'));
        if (!isToolchainSymbol(name))
            names.insert(name);
    }
    return names;
}

std::string joined(const std::set<std::string> &s)
{
    std::string out;
    for (const auto &x : s)
        out += " " + x;
    return out;
}

TEST(Exports, ExactlyTheDeclaredNames)
{
    std::set<std::string> declared = declaredExports();
    std::set<std::string> defined = definedDynamicSymbols();
    ASSERT_FALSE(defined.empty()) << "nm found no symbols in " << VANTREL_LIBRARY_PATH;
    // Sanity of the header scan itself.
    for (const char *name : {"fLdsNoErrorMessage", "FnLdsVersion", "FIsNaN", "LDLbacksub"})
        EXPECT_TRUE(declared.count(name)) << name << " not found in the headers";

    std::set<std::string> missing, extra;
    for (const auto &n : declared)
        if (!defined.count(n))
            missing.insert(n);
    for (const auto &n : defined)
        if (!declared.count(n))
            extra.insert(n);
    EXPECT_TRUE(missing.empty()) << "declared but not exported:" << joined(missing);
    EXPECT_TRUE(extra.empty()) << "exported but not declared:" << joined(extra);
    for (const auto &n : defined)
        EXPECT_EQ(n.find("iKelCheckLds"), std::string::npos) << n;
}

TEST(Exports, NeedsOnlyTheRuntime)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "sanitizer runtimes are linked in this build";
#else
    const std::set<std::string> allowed = {"libstdc++.so.6", "libm.so.6", "libgcc_s.so.1",
                                           "libc.so.6"};
    std::string out =
        runCommand(std::string("readelf -d '") + VANTREL_LIBRARY_PATH + "'");
    const std::regex needed(R"(\(NEEDED\)\s+Shared library: \[([^\]]+)\])");
    int count = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), needed), end; it != end; ++it) {
        count++;
        EXPECT_TRUE(allowed.count((*it)[1])) << "unexpected NEEDED entry " << (*it)[1];
    }
    EXPECT_GT(count, 0) << out;
#endif
}

}  // namespace
