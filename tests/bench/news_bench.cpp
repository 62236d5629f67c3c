// What the news panel costs the main thread, without OpenGL (the renderer's entry points do
// nothing here, so only the building of the batch is measured): the first frame after the news
// arrives, which lays it out, and every later frame, which draws the lines in view at a new
// scroll position each time. Beside them, as the reference of the same run, laying out and
// drawing the whole news again as a frame without a kept layout would, and copying the news into
// the frame's snapshot, which every frame does. Medians over the repetitions.
//
//   news_bench [REPEATS] [FRAMES] [WORD_BYTES]
//
// Defaults: 5 repetitions of the first frame and the reference, 300 later frames, and one word
// of 4 MiB (the largest news the launcher accepts).
#include "app/frame_state.h"
#include "app/news_action.h"
#include "app/ui_renderer.h"
#include "base/gl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using namespace qv::launcher;

namespace {

double milliseconds(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

void stubOpenGl() {
    glEnable = [](GLenum) {};
    glDisable = [](GLenum) {};
    glScissor = [](GLint, GLint, GLsizei, GLsizei) {};
    glNamedBufferData = [](GLuint, GLsizeiptr, const void*, GLenum) {};
    glUseProgram = [](GLuint) {};
    glUniform2f = [](GLint, GLfloat, GLfloat) {};
    glBindTextureUnit = [](GLuint, GLuint) {};
    glBindVertexArray = [](GLuint) {};
    glDrawArrays = [](GLenum, GLint, GLsizei) {};
}

std::string normalNews() {
    std::string news = "# Corvanthe 2.0: the long road north\n**Read this first**\n";
    for (int i = 0; i < 40; ++i) {
        news += "- Change number " + std::to_string(i) +
                ": a line long enough to wrap onto a second line inside the news panel\n";
        if (i % 8 == 7)
            news += "\nA paragraph of plain text with **asterisk pairs** in it.\n# Part\n";
    }
    return news;
}

std::string manyLines(std::size_t count, const std::string& line) {
    std::string news;
    news.reserve(count * (line.size() + 1));
    for (std::size_t i = 0; i < count; ++i)
        news += line + "\n";
    return news;
}

void measure(const char* name, const std::string& news, int repeats, int frames) {
    UiRenderer ui;
    Frame frame;
    frame.w = 1024.0f;
    frame.h = 620.0f;
    frame.dt = 1.0f / 60.0f;
    frame.titleWidth = 424.0f;
    frame.snapshot.phase = Updater::UpToDate;
    frame.snapshot.news = news;

    std::vector<double> first, reference, copies;
    LoopState loop;
    for (int r = 0; r < repeats; ++r) {
        loop = LoopState{};
        ui.vertices.clear();
        first.push_back(milliseconds([&] { drawNewsPanel(ui, loop, frame); }));
        NewsLayout fresh;
        ui.vertices.clear();
        reference.push_back(milliseconds([&] {
            layoutNews(fresh, news, 408.0f);
            drawNewsLayout(ui, fresh, 542.0f, 100.0f, -1.0e30f, 1.0e30f);
        }));
    }
    const float height = loop.newsLayout.height;
    std::vector<double> later;
    Updater::Snapshot copy;
    for (int i = 0; i < frames; ++i) {
        // A new place in the news every frame, spread over all of it.
        loop.newsScrollPos = loop.newsScrollTarget =
            std::max(0.0f, height - 356.0f) * static_cast<float>(i) / static_cast<float>(frames);
        ui.vertices.clear();
        later.push_back(milliseconds([&] { drawNewsPanel(ui, loop, frame); }));
        copies.push_back(milliseconds([&] { copy = frame.snapshot; }));
    }
    std::printf(
        "%-34s %9zu bytes %8zu pieces  first frame %9.3f ms  later frames %7.4f ms  "
        "(reference: whole layout %9.3f ms, %8.0fx a later frame; snapshot copy %6.3f ms)\n",
        name, news.size(), loop.newsLayout.pieces.size(), median(first), median(later),
        median(reference), median(reference) / median(later), median(copies));
}

} // namespace

int main(int argc, char** argv) {
    const int repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    const int frames = argc > 2 ? std::atoi(argv[2]) : 300;
    const std::size_t wordBytes = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 4u << 20;
    stubOpenGl();
    measure("normal news", normalNews(), repeats, frames);
    measure("100,000 lines", manyLines(100000, "- A change of this release, told in a few words"),
            repeats, frames);
    // Bytes that are no UTF-8 at all: lone continuation bytes and a lead byte cut short.
    measure("100,000 lines of invalid UTF-8",
            manyLines(100000,
                      std::string("\x80\xBF\xC3 \xE2\x82 \xFF\xFE\x80\x80\x80 \xF0\x9F\x98", 18)),
            repeats, frames);
    measure(("one word of " + std::to_string(wordBytes) + " bytes").c_str(),
            std::string(wordBytes, 'w'), repeats, frames);
    return 0;
}
