// The GLFW input callbacks and the queues they fill. GLFW calls the callbacks on the main thread,
// inside glfwPollEvents and glfwWaitEventsTimeout, so the queues need no lock; the frame loop
// takes and empties them once per frame.
#pragma once

#include "app/frame_state.h"

#include <string>
#include <vector>

struct GLFWwindow;

namespace qv::launcher {

// Added to a queued key code when Ctrl or Super was held: Ctrl+V is 0x10056.
inline constexpr int keyCtrlFlag = 0x10000;

extern std::vector<int> pendingKeys; // presses and repeats in arrival order
extern std::string pendingText;      // typed code points below 128, one byte each
extern float pendingScroll;          // summed vertical wheel offsets
extern int pendingPresses;           // left-button presses

void onScroll(GLFWwindow* window, double xOffset, double yOffset);
void onChar(GLFWwindow* window, unsigned int codePoint);
void onKey(GLFWwindow* window, int key, int scancode, int action, int mods);
void onMouseButton(GLFWwindow* window, int button, int action, int mods);

// Moves the queues into the frame (keys, text, scroll, click), leaving them empty, and reads
// ENTER and Escape from the keys. A press latched since the last frame is the frame's click,
// even when the button was released again before the frame: a tap shorter than a frame counts,
// and a held button gives one click only, since it was pressed once. The frame's containers trade
// places with the queues, so neither side allocates once both have grown.
void takeQueuedInput(Frame& frame);

// The main layer's input while a modal layer is open: the cursor far outside everything, no
// click and no ENTER; the wheel stays, but nothing under the far-away cursor takes it.
UiInput maskedInput(const UiInput& input);

} // namespace qv::launcher
