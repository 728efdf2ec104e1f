// What the programs that host plugins export to them, read from the dynamic
// symbol table of the built files themselves (parsed here, so that the armhf
// build, whose tests run under qemu, reads its own 32-bit files).
#include <cxxabi.h>
#include <elf.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// The outermost scope of a mangled C++ name: "std" for the standard library's
// names, otherwise the first name written ("boost" for boost::..., "dvrcore"
// for dvrcore::..., "RunsAsRoot" for ::RunsAsRoot); "" when it starts with
// none (operators such as new and delete). Virtual tables, type information,
// guard variables, thunks and function-local objects belong to the scope of
// what they are for.
std::string OutermostScope(const std::string& mangled) {
  size_t i = 2;  // after "_Z"
  auto number = [&] {
    if (i < mangled.size() && mangled[i] == 'n') ++i;
    while (i < mangled.size() && std::isdigit(static_cast<unsigned char>(mangled[i]))) ++i;
    if (i < mangled.size() && mangled[i] == '_') ++i;
  };
  for (;;) {
    const std::string two = mangled.substr(i, 2);
    if (two == "TV" || two == "TI" || two == "TS" || two == "GV") {
      i += 2;
    } else if (two == "Th") {
      i += 2;
      number();
    } else if (two == "Tv") {
      i += 2;
      number();
      number();
    } else if (i < mangled.size() && (mangled[i] == 'Z' || mangled[i] == 'L')) {
      ++i;
    } else {
      break;
    }
  }
  if (i < mangled.size() && mangled[i] == 'N') {
    ++i;
    while (i < mangled.size() && std::strchr("rVKRO", mangled[i]) != nullptr) ++i;
  }
  if (mangled.compare(i, 2, "St") == 0) return "std";
  if (i + 1 < mangled.size() && mangled[i] == 'S' && std::islower(static_cast<unsigned char>(mangled[i + 1]))) {
    return "std";  // Sa, Sb, Ss, Si, So, Sd: std::allocator, std::basic_string...
  }
  size_t length = 0;
  while (i < mangled.size() && std::isdigit(static_cast<unsigned char>(mangled[i]))) {
    length = length * 10 + static_cast<size_t>(mangled[i++] - '0');
  }
  return mangled.substr(i, length);
}

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
  const bool mangled = symbol.name.compare(0, 2, "_Z") == 0;
  // The sanitizers' runtimes are linked into the program and export their
  // interceptors, their interface and their operators new and delete.
  if (kAddressSanitizer || kThreadSanitizer) {
    if (!mangled || OutermostScope(symbol.name).empty()) return "the sanitizer's runtime";
  }
  if (!mangled) return nullptr;
  // The program holds copies of inline and template code of the libraries it
  // is linked with; the linker exports a copy when a shared library in the
  // link refers to the same name, so that the process has one of it (Boost's
  // error categories, TinyXML's inline virtual functions, libstdc++'s
  // templates). Only names of those libraries can be referred to that way.
  const std::string scope = OutermostScope(symbol.name);
  if (scope == "std" || scope == "__gnu_cxx" || scope == "__cxxabiv1" || scope == "boost" ||
      scope.compare(0, 5, "TiXml") == 0) {
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
