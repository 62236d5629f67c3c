// Draws the Corvanthe emblem (an ember-coloured raven curled into a "C" on a dark rounded tile)
// and writes it as the launcher's icon group: one .ico with images of 256, 128, 64, 48, 32 and 16
// pixels at 32 bits per pixel, the 256 one as PNG and the others as bitmaps with their AND mask.
//
//   make_icon <output.ico> [preview.png]
//
// The preview, when asked for, is the 256-pixel PNG on its own. Every size is drawn from the
// shapes themselves, not scaled down from a larger image, so small sizes stay crisp.

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Rgba {
    float r = 0, g = 0, b = 0, a = 0; // premultiplied while compositing
};

struct Vec {
    float x, y;
};

Vec operator-(Vec a, Vec b) {
    return {a.x - b.x, a.y - b.y};
}
float dot(Vec a, Vec b) {
    return a.x * b.x + a.y * b.y;
}
float length(Vec a) {
    return std::sqrt(dot(a, a));
}
float cross(Vec a, Vec b) {
    return a.x * b.y - a.y * b.x;
}

float mix(float a, float b, float t) {
    return a + (b - a) * t;
}
float clamp01(float v) {
    return std::clamp(v, 0.0f, 1.0f);
}
float smoothstep(float a, float b, float v) {
    const float t = clamp01((v - a) / (b - a));
    return t * t * (3 - 2 * t);
}

Rgba colour(std::uint32_t rgb, float alpha = 1) {
    return {((rgb >> 16) & 255) / 255.0f * alpha, ((rgb >> 8) & 255) / 255.0f * alpha,
            (rgb & 255) / 255.0f * alpha, alpha};
}

Rgba mix(Rgba a, Rgba b, float t) {
    return {mix(a.r, b.r, t), mix(a.g, b.g, t), mix(a.b, b.b, t), mix(a.a, b.a, t)};
}

Rgba scaled(Rgba c, float k) {
    return {c.r * k, c.g * k, c.b * k, c.a * k};
}

// Porter-Duff "over" on premultiplied colours.
Rgba over(Rgba top, Rgba under) {
    const float k = 1 - top.a;
    return {top.r + under.r * k, top.g + under.g * k, top.b + under.b * k, top.a + under.a * k};
}

// Signed distances (negative inside) in the unit square, y downwards.

float circle(Vec p, Vec centre, float radius) {
    return length(p - centre) - radius;
}

float roundedSquare(Vec p, float inset, float radius) {
    const float half = 0.5f - inset - radius;
    const float qx = std::abs(p.x - 0.5f) - half;
    const float qy = std::abs(p.y - 0.5f) - half;
    const float outside = length({std::max(qx, 0.0f), std::max(qy, 0.0f)});
    return outside + std::min(std::max(qx, qy), 0.0f) - radius;
}

float triangle(Vec p, Vec a, Vec b, Vec c) {
    const Vec edges[3][2] = {{a, b}, {b, c}, {c, a}};
    float best = 1e9f;
    bool inside = true;
    const float winding = cross(b - a, c - a) > 0 ? 1.0f : -1.0f;
    for (const auto& edge : edges) {
        const Vec e = edge[1] - edge[0];
        const Vec w = p - edge[0];
        const float t = clamp01(dot(w, e) / dot(e, e));
        best = std::min(best, length({w.x - e.x * t, w.y - e.y * t}));
        if (cross(e, w) * winding < 0) inside = false;
    }
    return inside ? -best : best;
}

// The raven: a curved body that sweeps from the head (upper right) over the top, down the left
// and round the bottom, thickest at the back and ending in a pointed tail; the head carries the
// eye and a long beak pointing right.
constexpr float kPi = 3.14159265f;
constexpr Vec kCurlCentre{0.485f, 0.525f};
constexpr float kCurlRadius = 0.265f;
constexpr float kHeadAngle = -0.90f; // radians, y downwards
constexpr float kSweep = 4.75f;      // from the head round to the tail
constexpr float kMaxHalfWidth = 0.105f;
constexpr Vec kHeadCentre{0.655f, 0.315f};
constexpr float kHeadRadius = 0.082f;
constexpr Vec kEyeCentre{0.672f, 0.297f};
constexpr float kEyeRadius = 0.019f;

Vec curlPoint(float t) {
    const float angle = kHeadAngle - kSweep * t;
    const float radius = kCurlRadius - 0.035f * t; // the tail curls slightly inwards
    return {kCurlCentre.x + radius * std::cos(angle), kCurlCentre.y + radius * std::sin(angle)};
}

float ravenBody(Vec p) {
    // Where along the sweep this point lies (0 at the head, 1 at the tail).
    const Vec q = p - kCurlCentre;
    float swept = kHeadAngle - std::atan2(q.y, q.x);
    while (swept < 0)
        swept += 2 * kPi;
    float curl;
    const float t = swept / kSweep;
    if (t <= 1) {
        const float halfWidth =
            kMaxHalfWidth * std::pow(std::sin(kPi * (0.18f + 0.82f * t)), 0.75f);
        const float radius = kCurlRadius - 0.035f * t;
        curl = std::abs(length(q) - radius) - halfWidth;
    } else {
        curl = std::min(length(p - curlPoint(0)), length(p - curlPoint(1)));
    }
    const float head = circle(p, kHeadCentre, kHeadRadius);
    // A heavy raven's beak, its tip dipping a little, and the shaggy throat feathers below it.
    const float beak = triangle(p, {0.700f, 0.252f}, {0.895f, 0.328f}, {0.708f, 0.362f});
    const float throat =
        std::min(triangle(p, {0.640f, 0.370f}, {0.715f, 0.345f}, {0.700f, 0.418f}),
                 triangle(p, {0.625f, 0.385f}, {0.690f, 0.390f}, {0.655f, 0.448f}));
    return std::min({curl, head, beak, throat});
}

// The colour of the whole emblem at one point of the unit square (premultiplied), for an image
// of size pixels: the soft halo is toned down at small sizes, where it would blur the outline.
Rgba shade(Vec p, int size) {
    const float tile = roundedSquare(p, 0.035f, 0.19f);
    if (tile > 0) return {};

    // Tile: deep plum, lighter at the top, with a warm glow where the emblem sits.
    Rgba out = mix(colour(0x3b2640), colour(0x130c16), clamp01(p.y));
    const float glowDistance = length(p - Vec{0.5f, 0.52f});
    out = over(colour(0xff7a1f, 0.28f * std::pow(1 - smoothstep(0.0f, 0.47f, glowDistance), 2.0f)),
               out);
    // A thin copper rim just inside the edge.
    const float rimWidth = std::max(0.018f, 0.8f / size);
    const float rim = 1 - smoothstep(0.0f, rimWidth, std::abs(tile + rimWidth * 0.66f));
    out = over(colour(0xc0743a, 0.55f * rim), out);

    const float body = ravenBody(p);
    // A soft ember halo around the bird.
    const float haloStrength = size >= 64 ? 0.45f : size >= 32 ? 0.28f : 0.16f;
    const float halo = std::exp(-std::max(body, 0.0f) / 0.035f) * haloStrength;
    out = over(colour(0xff8a2a, halo * (body > 0 ? 1.0f : 0.0f)), out);
    if (body <= 0) {
        // Gold at the head, ember red at the tail, a little darker along the inner curve.
        const float t = clamp01((p.y - 0.2f) / 0.66f);
        Rgba fill = mix(colour(0xffdb7a), colour(0xe2431a), t);
        const float outward = smoothstep(-0.09f, 0.06f, circle(p, kCurlCentre, kCurlRadius));
        fill = mix(scaled(fill, 0.72f), fill, outward);
        fill.a = 1;
        out = fill;
        if (circle(p, kEyeCentre, kEyeRadius) <= 0) out = colour(0x1a0f12);
        if (circle(p, {kEyeCentre.x + 0.007f, kEyeCentre.y - 0.007f}, 0.006f) <= 0)
            out = colour(0xfff1cf);
    }
    return out;
}

// Straight RGBA pixels, top row first, each pixel the average of samples x samples points.
Bytes draw(int size) {
    const int samples = 8;
    Bytes rgba(static_cast<std::size_t>(size) * size * 4);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            Rgba sum;
            for (int sy = 0; sy < samples; ++sy) {
                for (int sx = 0; sx < samples; ++sx) {
                    const Vec p{(x + (sx + 0.5f) / samples) / size,
                                (y + (sy + 0.5f) / samples) / size};
                    const Rgba c = shade(p, size);
                    sum = {sum.r + c.r, sum.g + c.g, sum.b + c.b, sum.a + c.a};
                }
            }
            const Rgba c = scaled(sum, 1.0f / (samples * samples));
            std::uint8_t* out = &rgba[(static_cast<std::size_t>(y) * size + x) * 4];
            const float unpremultiply = c.a > 0 ? 1 / c.a : 0;
            out[0] = static_cast<std::uint8_t>(std::lround(clamp01(c.r * unpremultiply) * 255));
            out[1] = static_cast<std::uint8_t>(std::lround(clamp01(c.g * unpremultiply) * 255));
            out[2] = static_cast<std::uint8_t>(std::lround(clamp01(c.b * unpremultiply) * 255));
            out[3] = static_cast<std::uint8_t>(std::lround(clamp01(c.a) * 255));
        }
    }
    return rgba;
}

void put16(Bytes& out, unsigned v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put32(Bytes& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

void appendPngBytes(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

bool encodePng(const Bytes& rgba, int size, Bytes& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, appendPngBytes, nullptr);
    png_set_IHDR(png, info, size, size, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 9);
    png_write_info(png, info);
    for (int y = 0; y < size; ++y)
        png_write_row(png, rgba.data() + static_cast<std::size_t>(y) * size * 4);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

// A bitmap image of an icon: BITMAPINFOHEADER with the height doubled, the BGRA rows bottom-up,
// then the 1-bit AND mask (set where the pixel is fully transparent), rows padded to 32 bits.
Bytes encodeBitmap(const Bytes& rgba, int size) {
    const int maskRowBytes = (size + 31) / 32 * 4;
    const std::uint32_t imageBytes =
        static_cast<std::uint32_t>(size * size * 4 + maskRowBytes * size);
    Bytes out;
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(size));
    put32(out, static_cast<std::uint32_t>(size * 2));
    put16(out, 1);  // planes
    put16(out, 32); // bits per pixel
    put32(out, 0);  // BI_RGB
    put32(out, imageBytes);
    for (int i = 0; i < 4; ++i)
        put32(out, 0); // resolution and palette fields
    for (int y = size - 1; y >= 0; --y) {
        for (int x = 0; x < size; ++x) {
            const std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * size + x) * 4];
            out.insert(out.end(), {p[2], p[1], p[0], p[3]});
        }
    }
    for (int y = size - 1; y >= 0; --y) {
        Bytes row(static_cast<std::size_t>(maskRowBytes), 0);
        for (int x = 0; x < size; ++x) {
            if (rgba[(static_cast<std::size_t>(y) * size + x) * 4 + 3] == 0)
                row[x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

bool writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    file.close();
    return static_cast<bool>(file);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_icon <output.ico> [preview.png]\n");
        return 2;
    }
    const int sizes[] = {256, 128, 64, 48, 32, 16};
    std::vector<Bytes> images;
    Bytes preview;
    for (int size : sizes) {
        const Bytes rgba = draw(size);
        if (size == 256) {
            Bytes png;
            if (!encodePng(rgba, size, png)) {
                std::fprintf(stderr, "make_icon: cannot encode the %d-pixel PNG\n", size);
                return 1;
            }
            preview = png;
            images.push_back(std::move(png));
        } else {
            images.push_back(encodeBitmap(rgba, size));
        }
    }

    Bytes ico;
    put16(ico, 0);
    put16(ico, 1); // icon
    put16(ico, static_cast<unsigned>(images.size()));
    std::uint32_t offset = static_cast<std::uint32_t>(6 + 16 * images.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        const int size = sizes[i];
        ico.push_back(static_cast<std::uint8_t>(size == 256 ? 0 : size));
        ico.push_back(static_cast<std::uint8_t>(size == 256 ? 0 : size));
        ico.push_back(0); // no palette
        ico.push_back(0);
        put16(ico, 1);
        put16(ico, 32);
        put32(ico, static_cast<std::uint32_t>(images[i].size()));
        put32(ico, offset);
        offset += static_cast<std::uint32_t>(images[i].size());
    }
    for (const Bytes& image : images)
        ico.insert(ico.end(), image.begin(), image.end());

    if (!writeFile(argv[1], ico)) {
        std::fprintf(stderr, "make_icon: cannot write %s\n", argv[1]);
        return 1;
    }
    if (argc == 3 && !writeFile(argv[2], preview)) {
        std::fprintf(stderr, "make_icon: cannot write %s\n", argv[2]);
        return 1;
    }
    std::printf("make_icon: wrote %s (%zu bytes, %zu images)\n", argv[1], ico.size(),
                images.size());
    return 0;
}
