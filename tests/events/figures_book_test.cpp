// The index that finds a plugin's figures by its ID (PluginFiguresBook).
#include "events/figures.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

}  // namespace
