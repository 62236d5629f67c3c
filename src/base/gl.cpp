// The entry points and their loader.

#include "base/gl.h"

#include "base/log.h"

namespace qv::launcher {

#define QV_GL_DEFINE_ENTRY_POINT(type, name) type name = nullptr;
QV_GL_ENTRY_POINTS(QV_GL_DEFINE_ENTRY_POINT)
#undef QV_GL_DEFINE_ENTRY_POINT

namespace {

#define QV_GL_COUNT_ENTRY_POINT(type, name) +1
constexpr int kEntryPointCount = 0 QV_GL_ENTRY_POINTS(QV_GL_COUNT_ENTRY_POINT);
#undef QV_GL_COUNT_ENTRY_POINT

} // namespace

int loadGlFunctions(GlProcLoader loader) {
    // A fixed list, so loading cannot fail on memory; the warnings wait until every name was looked
    // up so that they read as one block in the log.
    const char* missing[kEntryPointCount];
    int missingCount = 0;
#define QV_GL_LOAD_ENTRY_POINT(type, name)                                                         \
    name = reinterpret_cast<type>(loader(#name));                                                  \
    if (name == nullptr) missing[missingCount++] = #name;
    QV_GL_ENTRY_POINTS(QV_GL_LOAD_ENTRY_POINT)
#undef QV_GL_LOAD_ENTRY_POINT
    for (int i = 0; i < missingCount; ++i)
        logWarn("GL function not available: %s", missing[i]);
    return missingCount;
}

} // namespace qv::launcher
