// The X side of the launcher's GUI tests, the few things xdotool cannot do:
//   x_helper clipboard TEXT SECONDS   own the CLIPBOARD with TEXT and serve it; prints "ready"
//   x_helper close WINDOW             ask the window to close (WM_DELETE_WINDOW), as a desktop does
//   x_helper shot WINDOW FILE         save the window's pixels as an RGB PNG
//   x_helper minsize WINDOW           print the minimum size the window asks of a window manager
//   x_helper icon WINDOW              print how many numbers its _NET_WM_ICON holds (0: no icon)
//   x_helper workarea X Y W H         give the desktop a work area, as a window manager with a
//                                     taskbar or dock does (kept until the server ends)
// WINDOW is a decimal window id (xdotool prints them so). Exit code 0 on success.
#include "base/png.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int serveClipboard(Display* display, const std::string& text, double seconds) {
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom targets = XInternAtom(display, "TARGETS", False);
    XSetSelectionOwner(display, clipboard, window, CurrentTime);
    XSync(display, False);
    if (XGetSelectionOwner(display, clipboard) != window) return 1;
    std::printf("ready\n");
    std::fflush(stdout);

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (!XPending(display)) {
            struct timespec pause = {0, 5000000};
            nanosleep(&pause, nullptr);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == SelectionClear) return 0;
        if (event.type != SelectionRequest) continue;
        const XSelectionRequestEvent& request = event.xselectionrequest;
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        reply.property = request.property ? request.property : request.target;
        if (request.target == targets) {
            const Atom offered[] = {targets, utf8, XA_STRING};
            XChangeProperty(display, request.requestor, reply.property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(offered), 3);
        } else if (request.target == utf8 || request.target == XA_STRING) {
            XChangeProperty(display, request.requestor, reply.property, request.target, 8,
                            PropModeReplace, reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
        } else {
            reply.property = None;
        }
        XSendEvent(display, request.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
        XFlush(display);
    }
    return 0;
}

int closeWindow(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return 0;
}

int channel(unsigned long pixel, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) ++shift;
    const unsigned long max = mask >> shift;
    return static_cast<int>(((pixel & mask) >> shift) * 255 / max);
}

int shot(Display* display, Window window, const char* file) {
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(display, window, &attributes)) return 1;
    XImage* image = XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                              static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (!image) return 1;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(attributes.width) * attributes.height * 3);
    std::size_t at = 0;
    for (int y = 0; y < attributes.height; ++y) {
        for (int x = 0; x < attributes.width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            rgb[at++] = static_cast<std::uint8_t>(channel(pixel, image->red_mask));
            rgb[at++] = static_cast<std::uint8_t>(channel(pixel, image->green_mask));
            rgb[at++] = static_cast<std::uint8_t>(channel(pixel, image->blue_mask));
        }
    }
    XDestroyImage(image);
    return qv::launcher::writePng(file, rgb.data(), attributes.width, attributes.height, 3, false) ? 0 : 1;
}

int minSize(Display* display, Window window) {
    XSizeHints hints{};
    long supplied = 0;
    if (!XGetWMNormalHints(display, window, &hints, &supplied) || !(hints.flags & PMinSize)) {
        std::printf("none\n");
        return 0;
    }
    std::printf("%d %d\n", hints.min_width, hints.min_height);
    return 0;
}

int iconSize(Display* display, Window window) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const Atom icon = XInternAtom(display, "_NET_WM_ICON", False);
    if (XGetWindowProperty(display, window, icon, 0, 1L << 24, False, AnyPropertyType, &type, &format,
                           &count, &after, &data) != Success) {
        return 1;
    }
    if (data) XFree(data);
    std::printf("%lu\n", count);
    return 0;
}

// What a desktop's window manager announces: its check window (here the root window itself,
// which stays when this program leaves), the hints it supports, and the work area of the
// current desktop. Programs started afterwards find the work area as on a desktop with a panel.
int setWorkArea(Display* display, long x, long y, long width, long height) {
    const Window root = DefaultRootWindow(display);
    const auto cardinals = [&](const char* name, Atom type, const long* values, int count) {
        XChangeProperty(display, root, XInternAtom(display, name, False), type, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(values), count);
    };
    const long check[] = {static_cast<long>(root)};
    const long supported[] = {static_cast<long>(XInternAtom(display, "_NET_WORKAREA", False)),
                              static_cast<long>(XInternAtom(display, "_NET_CURRENT_DESKTOP", False))};
    const long desktop[] = {0};
    const long area[] = {x, y, width, height};
    cardinals("_NET_SUPPORTING_WM_CHECK", XA_WINDOW, check, 1);
    cardinals("_NET_SUPPORTED", XA_ATOM, supported, 2);
    cardinals("_NET_CURRENT_DESKTOP", XA_CARDINAL, desktop, 1);
    cardinals("_NET_WORKAREA", XA_CARDINAL, area, 4);
    XSync(display, False);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: x_helper clipboard TEXT SECONDS | workarea X Y W H | "
                             "close|shot|minsize|icon WINDOW [FILE]\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "x_helper: no display\n");
        return 1;
    }
    const std::string command = argv[1];
    int result = 2;
    if (command == "clipboard" && argc == 4) {
        result = serveClipboard(display, argv[2], std::atof(argv[3]));
    } else if (command == "workarea" && argc == 6) {
        result = setWorkArea(display, std::atol(argv[2]), std::atol(argv[3]), std::atol(argv[4]),
                             std::atol(argv[5]));
    } else {
        const Window window = static_cast<Window>(std::strtoul(argv[2], nullptr, 10));
        if (command == "close") result = closeWindow(display, window);
        if (command == "shot" && argc == 4) result = shot(display, window, argv[3]);
        if (command == "minsize") result = minSize(display, window);
        if (command == "icon") result = iconSize(display, window);
    }
    XCloseDisplay(display);
    return result;
}
