// A launcher that the system accepts as a program but whose loader cannot finish loading it
// where it is published: it needs a library of the build's own, which is never beside it.
#if defined(_WIN32)
#define UNLOADABLE_IMPORT __declspec(dllimport)
#else
#define UNLOADABLE_IMPORT
#endif

extern "C" UNLOADABLE_IMPORT int unloadableAnswer();

int main() {
    return unloadableAnswer();
}
