#include "app/display_scale.h"

#include <algorithm>
#include <cmath>

namespace qv::launcher {

float usableContentScale(float contentScale) {
    // Beyond 16 no display exists; such a value would only make the window vanish or explode.
    return contentScale > 0.0f && contentScale <= 16.0f ? contentScale : 1.0f;
}

DisplayScale displayScale(int windowWidth, int framebufferWidth, int framebufferHeight,
                          float contentScale) {
    DisplayScale scale;
    scale.pixelsPerUnit = usableContentScale(contentScale);
    const float fbW = static_cast<float>(framebufferWidth < 1 ? 1 : framebufferWidth);
    const float fbH = static_cast<float>(framebufferHeight < 1 ? 1 : framebufferHeight);
    scale.width = fbW / scale.pixelsPerUnit;
    scale.height = fbH / scale.pixelsPerUnit;
    // Framebuffer pixels per window coordinate (pixels are square, so the width tells it): 1
    // where coordinates are pixels, the content scale where they are logical points.
    const float pixelsPerCoordinate =
        windowWidth > 0 ? fbW / static_cast<float>(windowWidth) : 1.0f;
    scale.unitsPerCursor = pixelsPerCoordinate / scale.pixelsPerUnit;
    return scale;
}

namespace {

// One side of the fit: the length shrunk to what the work area leaves beside the frame (never
// below the minimum), and the start moved back where the far edge would pass the work area's.
void fitSide(int& start, int& length, int areaStart, int areaLength, int frameBefore,
             int frameAfter, int minLength) {
    length = std::max(minLength, std::min(length, areaLength - frameBefore - frameAfter));
    const int areaEnd = areaStart + areaLength;
    if (start + length + frameAfter > areaEnd)
        start = std::max(areaEnd - frameAfter - length, areaStart + frameBefore);
}

} // namespace

ScreenRect fitToWorkArea(ScreenRect window, const ScreenRect& workArea, const WindowFrame& frame,
                         int minWidth, int minHeight) {
    fitSide(window.x, window.width, workArea.x, workArea.width, frame.left, frame.right, minWidth);
    fitSide(window.y, window.height, workArea.y, workArea.height, frame.top, frame.bottom,
            minHeight);
    return window;
}

int windowCoordinates(float units, const DisplayScale& scale) {
    return static_cast<int>(std::ceil(units / scale.unitsPerCursor - 0.001f));
}

float glyphPixelUnits(float s, float pixelsPerUnit) {
    // Halves round down: at 125% a scale-2 glyph pixel of 2.5 becomes 2, where 3 would close the
    // one-pixel gap between letters (advance 15, glyph 15).
    const float pixels = std::ceil(s * pixelsPerUnit - 0.5f);
    return (pixels < 1.0f ? 1.0f : pixels) / pixelsPerUnit;
}

float snapToPixel(float v, float pixelsPerUnit) {
    return std::round(v * pixelsPerUnit) / pixelsPerUnit;
}

} // namespace qv::launcher
