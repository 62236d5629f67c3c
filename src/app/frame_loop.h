// The frame loop: each frame polls the window, gathers one input record, copies the Updater's
// state once, starts the automatic actions, draws the main layer and the modal layers, takes
// the "--shot" screenshot when its time has come, and presents. It returns when the window is
// closed, after the frame that started the game, when the launcher is restarting after a
// self-update, or after the screenshot.
#pragma once

#include "app/display_scale.h"
#include "app/frame_state.h"
#include "app/ui_renderer.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct GLFWwindow;

namespace qv::launcher {

// The smallest window the layout takes, in screen units.
inline constexpr float minWindowWidth = 820.0f;
inline constexpr float minWindowHeight = 520.0f;

// The window's size limits: at least the minimum size in screen units at the window's scale.
void setWindowSizeLimits(GLFWwindow* window, const DisplayScale& scale);

// Before the window is first shown: shrinks its default size to the work area of the monitor it
// opens on (less the frame the window manager adds, where that is known before the window shows),
// never below the minimum size, and moves it back where it would reach past the work area. Only
// the first size: a window the player has sized or moved to another monitor keeps its size.
void fitWindowToScreen(GLFWwindow* window, const DisplayScale& scale);

// The window's display scale now, from its sizes and content scale.
DisplayScale readDisplayScale(GLFWwindow* window);

// Sets the window icon from "corvanthe.ico" in the game folder's "assets"; false when that file
// gave no image.
bool setWindowIconFrom(GLFWwindow* window, const std::filesystem::path& launcherDir);

// The automatic actions of one frame, in order: the update that an available release (unless
// the playtester key was refused, or "--install" with nothing installed) starts once, the verifying
// update of "--verify", and the retry of the window icon while the game is present.
void runAutomaticActions(LauncherContext& app, LoopState& loop, const Frame& frame);

// Draws the whole frame between the renderer's frame bracket: main layer, then the open modal
// layer.
void drawFrame(UiRenderer& ui, LauncherContext& app, LoopState& loop, Frame& frame, int fbWidth,
               int fbHeight);

// Reads the frame just drawn (before it is presented) into pixels and writes it as an RGB PNG,
// top row first. Logs "launcher: saved" on success.
bool saveScreenshot(const std::string& path, int fbWidth, int fbHeight,
                    std::vector<std::uint8_t>& pixels);

// The length of one refresh of a display that reports refreshRate per second; 60 Hz where it
// reports none (0 or below).
double refreshPeriod(int refreshRate);

// What is left of one frame's period after elapsed seconds of its work and swap: the time the
// loop sleeps before the next frame. 0 once the frame has taken the period or longer.
double frameRest(double elapsed, double period);

// Logs at debug level what the screen shows once the frame is presented: "launcher: screen",
// the phase, " busy" while a run goes, " menu" or " dialog(n)" (n: the length of the key typed
// so far; the key itself stays out of the log) for an open layer, and the window
// size as 1024x620. A line is written when any of that changes and, once no run goes, after
// every run the front end asked for, so a watcher of the log (the GUI tests) knows the outcome
// of its click is on screen even when the phase stayed the same.
void noteShownState(LoopState& loop, const Frame& frame);

void runFrameLoop(LauncherContext& app, UiRenderer& ui, LoopState& loop);

} // namespace qv::launcher
