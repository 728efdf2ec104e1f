// What the programs that host plugins export to them, read from the dynamic
// symbol table of the built files themselves (parsed here, so that the armhf
// build, whose tests run under qemu, reads its own 32-bit files).
#include <cxxabi.h>
#include <elf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sanitizers.h"

namespace dvrtest {
namespace {

#if __SIZEOF_POINTER__ == 8
using Ehdr = Elf64_Ehdr;
using Shdr = Elf64_Shdr;
using Sym = Elf64_Sym;
#else
using Ehdr = Elf32_Ehdr;
using Shdr = Elf32_Shdr;
using Sym = Elf32_Sym;
#endif

struct DynamicSymbol {
  std::string name;  // as stored (mangled)
  bool versioned;    // bound to a version of a library (GNU symbol versioning)
};

// The symbols a program's dynamic symbol table defines. Empty with a failure
// when the file cannot be read as an ELF file of this machine's class.
std::vector<DynamicSymbol> DefinedDynamicSymbols(const std::string& path) {
  std::ostringstream read;
  read << std::ifstream(path, std::ios::binary).rdbuf();
  const std::string file = read.str();
  std::vector<DynamicSymbol> symbols;
  Ehdr header;
  if (file.size() < sizeof header) {
    ADD_FAILURE() << path << ": not readable";
    return symbols;
  }
  std::memcpy(&header, file.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      file.size() < header.e_shoff + header.e_shnum * sizeof(Shdr)) {
    ADD_FAILURE() << path << ": not an ELF file with section headers";
    return symbols;
  }
  std::vector<Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), file.data() + header.e_shoff, sections.size() * sizeof(Shdr));
  const Shdr* dynsym = nullptr;
  const Shdr* versym = nullptr;
  for (const Shdr& section : sections) {
    if (section.sh_type == SHT_DYNSYM) dynsym = &section;
    if (section.sh_type == SHT_GNU_versym) versym = &section;
  }
  if (dynsym == nullptr || dynsym->sh_link >= sections.size()) {
    ADD_FAILURE() << path << ": no dynamic symbol table";
    return symbols;
  }
  const Shdr& strings = sections[dynsym->sh_link];
  const size_t count = dynsym->sh_size / sizeof(Sym);
  for (size_t i = 1; i < count; ++i) {
    Sym symbol;
    std::memcpy(&symbol, file.data() + dynsym->sh_offset + i * sizeof(Sym), sizeof symbol);
    // Local entries (the ARM linker's section symbols, nameless) bind nothing.
    if (symbol.st_shndx == SHN_UNDEF || ELF64_ST_BIND(symbol.st_info) == STB_LOCAL) continue;
    uint16_t version = 1;  // VER_NDX_GLOBAL: no version
    if (versym != nullptr) {
      std::memcpy(&version, file.data() + versym->sh_offset + i * sizeof version, sizeof version);
    }
    symbols.push_back({std::string(file.data() + strings.sh_offset + symbol.st_name),
                       (version & 0x7fff) > VER_NDX_GLOBAL});
  }
  return symbols;
}

std::string Demangled(const std::string& name) {
  int status = 0;
  char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
  if (text == nullptr) return name;
  std::string result(text);
  std::free(text);
  return result;
}

// A mangled name of the libraries' own code: its outermost scope (past the
// prefixes of virtual tables, type information, guard variables, thunks and
// function-local objects) is std (St, or Sa/Sb/Ss/... for the standard's
// abbreviations), __gnu_cxx, __cxxabiv1, boost or a TinyXML class.
const std::regex kLibraryName(
    "_Z(T[VIS]|GV|Thn?[0-9]+_|Z)*N?[rVKRO]*(St|S[abdios]|5boost|9__gnu_cxx|10__cxxabiv1|[0-9]+TiXml).*");

// What plugins are given, demangled (so the same for 32- and 64-bit builds).
const std::set<std::string> kPluginInterface = {
    "FlatPluginEvent",
    "dvrcore::now()",
    "vtable for dvrcore",
    // The virtual table points at the type information, and a plugin's
    // dynamic_cast or typeid of the core must meet the same object.
    "typeinfo for dvrcore",
    "typeinfo name for dvrcore",
    "dvrcore::Scheduler(boost::system::error_code const&)",
    "dvrcore::ProcessIPC(boost::system::error_code const&, unsigned int)",
};

// Why a defined dynamic symbol outside the interface is there, or null when it
// is one of the core's own names and should not be.
const char* Allowance(const DynamicSymbol& symbol) {
  // A library's data that the program's code refers to directly is copied
  // into the program (a copy relocation) and defined there under the
  // library's version.
  if (symbol.versioned) return "a library's data copied into the program";
  // The sanitizers' runtimes are linked into the program and export their
  // interceptors, their interface and their operators new and delete.
  if ((kAddressSanitizer || kThreadSanitizer) &&
      std::regex_match(symbol.name, std::regex("[^_].*|_[^Z].*|_Z(n[wa]|d[la]).*"))) {
    return "the sanitizer's runtime";
  }
  // The program holds copies of inline and template code of the libraries it
  // is linked with; the linker exports a copy when a shared library in the
  // link refers to the same name, so that the process has one of it (Boost's
  // error categories, TinyXML's inline virtual functions, libstdc++'s
  // templates). Only names of those libraries can be referred to that way.
  if (std::regex_match(symbol.name, kLibraryName)) {
    return "a library's name used by a shared library as well";
  }
  return nullptr;
}

struct HostProgram {
  const char* name;
  const char* path;
};

class ExportsTest : public ::testing::TestWithParam<HostProgram> {};

TEST_P(ExportsTest, ExportsThePluginInterfaceAndNoneOfTheCoresOwnNames) {
  std::set<std::string> interface;
  std::vector<std::string> ownNames;
  for (const DynamicSymbol& symbol : DefinedDynamicSymbols(GetParam().path)) {
    const std::string name = Demangled(symbol.name);
    if (kPluginInterface.count(name) != 0) {
      interface.insert(name);
    } else if (Allowance(symbol) == nullptr) {
      ownNames.push_back(name);
    }
  }
  EXPECT_EQ(interface, kPluginInterface);
  EXPECT_TRUE(ownNames.empty()) << ::testing::PrintToString(ownNames);
}

INSTANTIATE_TEST_SUITE_P(HostPrograms, ExportsTest,
                         ::testing::Values(HostProgram{"core", DVRCORE_EXE},
                                           HostProgram{"inspect", DVRCORE_INSPECT}),
                         [](const ::testing::TestParamInfo<HostProgram>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace dvrtest
