// A shared library of the build's own, never published: the program beside it needs it.
#if defined(_WIN32)
#define UNLOADABLE_EXPORT __declspec(dllexport)
#else
#define UNLOADABLE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" UNLOADABLE_EXPORT int unloadableAnswer() {
    return 0;
}
