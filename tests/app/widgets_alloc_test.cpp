// Heap allocations of the news panel's per-frame work: once the buffers have grown to the news,
// drawing it again (as every frame does, at a new scroll position) allocates nothing, and neither
// does cutting the status line to its first wrapped line. Counted by replacing the global
// allocation functions of this test program.

#include "app/ui_draw.h"
#include "app/ui_renderer.h"
#include "app/widgets.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "../support/alloc_counter.h"

namespace qv::launcher {
namespace {

using test::allocationsDuring;

// Every kind of line, long bullets and paragraphs that wrap, a word longer than the column,
// asterisk runs, multi-byte characters and a CR.
std::string fullNews() {
    std::string news = "# Corvanthe 2.0: the long road north and back again\n**Read this first**\n";
    for (int i = 0; i < 40; ++i) {
        news += "- Change number " + std::to_string(i) +
                ": a line long enough to wrap onto a second line inside the news panel\n";
        if (i % 8 == 7) {
            news += "\nA paragraph of plain text with **asterisk pairs**, *** odd runs and "
                    "caf\xC3\xA9 cr\xC3\xA8me in it.\r\n"
                    "Averyveryverylongwordwithoutanyspacesthatmustbecutintopieces\n# Part\n";
        }
    }
    return news;
}

TEST(WidgetsAllocationTest, RepeatedNewsFramesAllocateNothingOnceWarm) {
    const std::string news = fullNews();
    const std::string status = "  Downloading 3 of 9: data/world.pak, a status text too long for "
                               "its line";
    UiRenderer ui;
    std::string statusLine;
    float height = 0.0f;
    const auto frame = [&](int i) {
        ui.vertices.clear(); // what beginFrame does: the batch keeps its capacity
        height = drawNews(ui, news, 522.0f, 100.0f - static_cast<float>(i % 50), 446.0f);
        statusLine = status;
        keepFirstWrappedLine(statusLine, 2.0f, 660.0f);
    };
    frame(0);
    frame(1);
    const std::size_t vertices = ui.vertices.size();
    const float warmHeight = height;
    ASSERT_GT(vertices, 10000u);

    EXPECT_EQ(allocationsDuring([&] {
                  for (int i = 2; i < 102; ++i)
                      frame(i);
              }),
              0);
    EXPECT_EQ(ui.vertices.size(), vertices);
    EXPECT_EQ(height, warmHeight);
    EXPECT_EQ(statusLine, "Downloading 3 of 9: data/world.pak, a status text too"); // 54 of 55

    // The counter is live: the wrapping that returns new strings does allocate.
    EXPECT_GT(allocationsDuring([&] { (void)wrapText(status, 2.0f, 100.0f); }), 0);
}

TEST(WidgetsAllocationTest, WrappingIntoAKeptVectorOfViewsAllocatesNothingOnceGrown) {
    const std::string news = fullNews();
    std::vector<std::string_view> lines;
    wrapText(news, 2.0f, 300.0f, lines);
    const std::size_t count = lines.size();
    EXPECT_EQ(allocationsDuring([&] {
                  for (int i = 0; i < 20; ++i) {
                      wrapText(news, 2.0f, 300.0f, lines);
                      wrapText(news, 3.0f, 500.0f, lines); // fewer lines: fits what has grown
                  }
              }),
              0);
    wrapText(news, 2.0f, 300.0f, lines);
    EXPECT_EQ(lines.size(), count);
}

} // namespace
} // namespace qv::launcher
