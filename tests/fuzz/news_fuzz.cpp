// Feeds arbitrary bytes to the news layout as a column of a few widths: it must never crash or
// hang, every piece's text must lie inside the laid-out text, the pieces must come in the order
// of their tops (the drawing finds the first one in view by halving), and drawing a band of the
// column must stay inside the layout.
#include "app/widgets.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace qv::launcher;
    const std::string news(reinterpret_cast<const char*>(data), size);
    static NewsLayout layout;
    static UiRenderer ui;
    for (const float width : {408.0f, 257.0f, 11.0f, 0.0f}) {
        const float height = layoutNews(layout, news, width);
        if (!(height >= 0.0f)) __builtin_trap();
        float top = 0.0f;
        for (const NewsLayout::Piece& piece : layout.pieces) {
            if (piece.top < top || piece.begin > piece.end || piece.end > layout.glyphs.size())
                __builtin_trap();
            top = piece.top;
        }
        ui.vertices.clear();
        drawNewsLayout(ui, layout, 542.0f, 100.0f - height / 2.0f, 100.0f, 456.0f);
    }
    return 0;
}
