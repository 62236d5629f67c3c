#include "app/input_queues.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>

#include <utility>

namespace qv::launcher {

std::vector<int> pendingKeys;
std::string pendingText;
float pendingScroll = 0.0f;
int pendingPresses = 0;

void onScroll(GLFWwindow*, double, double yOffset) { pendingScroll += static_cast<float>(yOffset); }

void onChar(GLFWwindow*, unsigned int codePoint) {
    if (codePoint < 128) pendingText.push_back(static_cast<char>(codePoint));
}

void onKey(GLFWwindow*, int key, int, int action, int mods) {
    if (action != GLFW_PRESS && action != GLFW_REPEAT) return;
    const bool ctrl = (mods & (GLFW_MOD_CONTROL | GLFW_MOD_SUPER)) != 0;
    pendingKeys.push_back(ctrl ? key + keyCtrlFlag : key);
}

void onMouseButton(GLFWwindow*, int button, int action, int) {
    if (button == GLFW_MOUSE_BUTTON_LEFT && action == GLFW_PRESS) ++pendingPresses;
}

void takeQueuedInput(Frame& frame) {
    frame.keys.clear();
    std::swap(frame.keys, pendingKeys);
    frame.text.clear();
    std::swap(frame.text, pendingText);
    frame.modalInput.scroll = pendingScroll;
    pendingScroll = 0.0f;
    frame.modalInput.clicked = pendingPresses > 0;
    pendingPresses = 0;

    // Only the key itself matters here: Ctrl+ENTER is ENTER, Ctrl+Escape is Escape.
    frame.modalInput.enter = false;
    frame.escapePressed = false;
    for (const int entry : frame.keys) {
        const int key = entry & 0xFFFF;
        if (key == GLFW_KEY_ENTER || key == GLFW_KEY_KP_ENTER) frame.modalInput.enter = true;
        if (key == GLFW_KEY_ESCAPE) frame.escapePressed = true;
    }
}

UiInput maskedInput(const UiInput& input) {
    UiInput masked = input;
    masked.mouseX = -1000000.0f;
    masked.mouseY = -1000000.0f;
    masked.clicked = false;
    masked.enter = false;
    return masked;
}

} // namespace qv::launcher
