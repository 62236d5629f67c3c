// The input of one frame as the widgets see it. The frame loop gathers it once per frame from the
// GLFW callbacks' queues and the cursor; the main layer gets a masked copy while a modal layer is
// open, so nothing under the modal layer reacts.
#pragma once

namespace qv::launcher {

struct UiInput {
    float mouseX = 0.0f;  // cursor x in window coordinates (origin at the client area's top left)
    float mouseY = 0.0f;  // cursor y, downwards
    bool clicked = false; // the left button was pressed since the previous frame
    float scroll = 0.0f;  // the wheel offsets of this frame (positive: turned away from the user)
    bool enter = false;   // ENTER or keypad ENTER was pressed or repeated in this frame
};

// Whether the cursor lies in the rectangle (x, y, w, h): left and top edges inside, right and
// bottom edges outside, so rectangles that touch never share a point.
inline bool mouseInside(const UiInput& in, float x, float y, float w, float h) {
    return in.mouseX >= x && in.mouseX < x + w && in.mouseY >= y && in.mouseY < y + h;
}

} // namespace qv::launcher
