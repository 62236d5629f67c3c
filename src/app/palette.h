// The named colours of the launcher's whole user interface; constant for the life of the process.
#pragma once

#include "app/ui_draw.h"

namespace qv::launcher {

extern const Color paletteText;
extern const Color paletteTextBright;
extern const Color paletteTextDim;
extern const Color paletteTextFaint;
extern const Color paletteGold;
extern const Color paletteGoldDark;
extern const Color paletteGoldLight;
extern const Color paletteAccent;
extern const Color paletteFlameDark;
extern const Color paletteFlame;
extern const Color paletteError;
extern const Color palettePanel;
extern const Color palettePanelDark;
extern const Color palettePanelHover;
extern const Color paletteShadow;
extern const Color paletteGrey;
extern const Color paletteButton;
extern const Color paletteButtonHover;

} // namespace qv::launcher
