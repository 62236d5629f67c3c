#include "app/palette.h"

namespace qv::launcher {

// Constant-initialised, so every colour is in place before any code of the launcher runs.
const Color paletteText{0.87f, 0.845f, 0.78f, 1.0f};
const Color paletteTextBright{1.0f, 0.965f, 0.87f, 1.0f};
const Color paletteTextDim{0.56f, 0.54f, 0.505f, 1.0f};
const Color paletteTextFaint{0.4f, 0.388f, 0.365f, 1.0f};
const Color paletteGold{0.78f, 0.6f, 0.3f, 1.0f};
const Color paletteGoldDark{0.42f, 0.31f, 0.15f, 1.0f};
const Color paletteGoldLight{0.96f, 0.8f, 0.48f, 1.0f};
const Color paletteAccent{0.98f, 0.48f, 0.18f, 1.0f};
const Color paletteFlameDark{0.52f, 0.2f, 0.06f, 1.0f};
const Color paletteFlame{0.95f, 0.42f, 0.14f, 1.0f};
const Color paletteError{0.76f, 0.22f, 0.16f, 1.0f};
const Color palettePanel{0.058f, 0.054f, 0.066f, 0.93f};
const Color palettePanelDark{0.032f, 0.03f, 0.038f, 0.96f};
const Color palettePanelHover{0.11f, 0.104f, 0.118f, 0.93f};
const Color paletteShadow{0.01f, 0.009f, 0.012f, 1.0f};
const Color paletteGrey{0.3f, 0.286f, 0.3f, 1.0f};
const Color paletteButton{0.205f, 0.19f, 0.182f, 1.0f};
const Color paletteButtonHover{0.33f, 0.25f, 0.15f, 1.0f};

} // namespace qv::launcher
