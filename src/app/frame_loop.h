// The frame loop: each frame polls the window, gathers one input record, copies the Updater's
// state once, starts the automatic actions, draws the main layer and the modal layers, takes
// the "--shot" screenshot when its time has come, and presents. It returns when the window is
// closed, after the frame that started the game, when the launcher is restarting after a
// self-update, or after the screenshot.
#pragma once

#include "app/frame_state.h"
#include "app/ui_renderer.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct GLFWwindow;

namespace qv::launcher {

// Sets the window icon from "corvanthe.ico" in the game folder's "assets"; false when that file
// gave no image.
bool setWindowIconFrom(GLFWwindow* window, const std::filesystem::path& launcherDir);

// The automatic actions of one frame, in order: the update that an available release (or
// "--install" with nothing installed) starts once, the verifying update of "--verify", and the
// retry of the window icon while the game is present.
void runAutomaticActions(LauncherContext& app, LoopState& loop, const Frame& frame);

// Draws the whole frame between the renderer's frame bracket: main layer, then the open modal
// layer.
void drawFrame(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame, int fbWidth,
               int fbHeight);

// Reads the frame just drawn (before it is presented) into pixels and writes it as an RGB PNG,
// top row first. Logs "launcher: saved" on success.
bool saveScreenshot(const std::string& path, int fbWidth, int fbHeight,
                    std::vector<std::uint8_t>& pixels);

void runFrameLoop(LauncherContext& app, UiRenderer& ui, LoopState& loop);

} // namespace qv::launcher
