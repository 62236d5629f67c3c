#include "app/sparks.h"

#include "app/palette.h"
#include "app/ui_draw.h"

#include <cmath>

namespace qv::launcher {

float sparkRandom(std::mt19937& rng) { return std::generate_canonical<float, 24>(rng); }

namespace {

Color mix(const Color& a, const Color& b, float f) {
    return Color{a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f,
                 a.a + (b.a - a.a) * f};
}

} // namespace

void updateSparks(UiRenderer& ui, std::vector<Spark>& sparks, std::mt19937& rng, float dt, float tf,
                  float w, float h) {
    if (sparks.size() < maxSparks) {
        const float r = sparkRandom(rng);
        if (dt * 30.0f > r) {
            Spark spark{};
            spark.x = (0.05f + 0.6f * sparkRandom(rng)) * w;
            spark.y = h + 10.0f;
            spark.vy = -(30.0f + 60.0f * sparkRandom(rng));
            spark.life = 3.0f + 4.0f * sparkRandom(rng);
            spark.size = 1.5f + 2.5f * sparkRandom(rng);
            spark.phase = 6.28f * sparkRandom(rng);
            spark.age = 0.0f;
            sparks.push_back(spark);
        }
    }

    std::size_t i = 0;
    while (i < sparks.size()) {
        Spark& s = sparks[i];
        s.age += dt;
        s.x += 12.0f * std::sin(s.phase + 1.3f * tf) * dt;
        s.y += s.vy * dt;
        if (s.age > s.life) {
            // Order does not matter: the last spark takes this place and is handled next.
            s = sparks.back();
            sparks.pop_back();
            continue;
        }
        const float f = s.age / s.life;
        const float a = 0.9f * std::sin(3.14159f * f);
        drawGlow(ui, s.x, s.y, 4.0f * s.size, withAlpha(paletteFlame, 0.25f * a));
        fillRect(ui, s.x - s.size / 2.0f, s.y - s.size / 2.0f, s.size, s.size,
                 withAlpha(mix(paletteGoldLight, paletteAccent, f), a));
        ++i;
    }
}

} // namespace qv::launcher
