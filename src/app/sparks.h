// The background's rising sparks: at most one is born per frame, about thirty a second, never
// more than 70 alive; each sways, rises, glows and fades from gold to the accent colour.
#pragma once

#include "app/frame_state.h"
#include "app/ui_renderer.h"

#include <random>
#include <vector>

namespace qv::launcher {

// A uniform float in [0, 1) with 24 random bits.
float sparkRandom(std::mt19937& rng);

// Spawns, moves, retires and draws the sparks for one frame of dt seconds at time tf in a
// window of w by h units.
void updateSparks(UiRenderer& ui, std::vector<Spark>& sparks, std::mt19937& rng, float dt, float tf,
                  float w, float h);

} // namespace qv::launcher
