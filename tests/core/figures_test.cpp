// The figures: the index that finds a plugin's figures by its ID, and the
// text of the figures file, whose label values come from file names that may
// hold any byte but '/'.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/figures_file.h"
#include "events/figures.h"

namespace {

// Every published ID is found, also after the index has grown past its first
// size many times over and IDs share home slots; an ID published twice stays
// the first plugin's; an ID never published is not found.
TEST(PluginFiguresBook, FindsEveryPublishedIdAcrossGrowth) {
  PluginFiguresBook book;
  std::vector<PluginFigures*> figures;
  for (uint32_t i = 0; i < 1000; i++) {
    figures.push_back(&book.Open("p" + std::to_string(i) + ".so", "p"));
    book.Publish(*figures.back(), (i + 1) << 16);  // IDs as plugins have them
  }
  PluginFigures& second = book.Open("again.so", "again");
  book.Publish(second, 5u << 16);
  for (uint32_t i = 0; i < 1000; i++) ASSERT_EQ(book.Find((i + 1) << 16), figures[i]) << i;
  EXPECT_EQ(book.Find(1001u << 16), nullptr);
  EXPECT_EQ(book.Find(0), nullptr);
  EXPECT_EQ(book.Listed().size(), 1001u);
}

// Label values are escaped as the text format wants them; two plugins of one
// file name (one in each plugin folder) stay two series.
TEST(FiguresFile, LabelValuesAreEscapedAndSeriesStayUnique) {
  auto times = [](size_t n, const char* piece) {
    std::string text;
    while (n-- > 0) text += piece;
    return text;
  };
  struct Row {
    std::string fileName;
    uint32_t id;
    std::string label;  // as the info line must carry it
  } rows[] = {
      {"plain.so", 0x00010000, "plain.so"},
      {"quote\"back\\slash\nline.so", 0x00020000, "quote\\\"back\\\\slash\\nline.so"},
      {"caf\xC3\xA9.so", 0x00030000, "caf\xC3\xA9.so"},
      {"bad\xFF\xC3.so", 0x00040000, "bad??.so"},
      {"plain.so", 0x00050000, "plain.so@0x00050000"},
      // The longest file names, each of its lines whole.
      {std::string(252, 'l') + ".so", 0x00060000, std::string(252, 'l') + ".so"},
      {times(84, "\"") + times(84, "\\") + times(84, "\xFF") + ".so", 0x00070000,
       times(84, "\\\"") + times(84, "\\\\") + times(84, "?") + ".so"},
  };
  PluginFiguresBook book;
  std::vector<PluginFiguresRow> plugins;
  for (const Row& row : rows) {
    PluginFigures& figures = book.Open(row.fileName, "tag");
    book.Publish(figures, row.id);
    plugins.push_back({&figures, 0, 0, 0, 0});
  }
  const std::string text = FormatFigures(CoreFigures{}, plugins);
  for (const Row& row : rows) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", row.id);
    const std::string line = "dvrcore_plugin_info{plugin=\"" + row.label +
                             "\",thread_prefix=\"tag\",id=\"" + id + "\"} 1\n";
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(text.find("timestamp"), std::string::npos);
  if (std::system("/usr/bin/python3 -c 'import prometheus_client' 2>/dev/null") == 0) {
    const std::string file = ::testing::TempDir() + "figures_test.prom";
    FILE* out = std::fopen(file.c_str(), "w");
    ASSERT_NE(out, nullptr);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fclose(out);
    const std::string parse =
        "/usr/bin/python3 -c 'import sys; from prometheus_client.parser import "
        "text_string_to_metric_families as parse; list(parse(open(sys.argv[1]).read()))' " + file;
    EXPECT_EQ(std::system(parse.c_str()), 0);
  }
}

}  // namespace
