// Does to a window what a person or their window manager would, where xdotool can't:
//   x11probe close WINDOW      asks the window to close, as its close button does
//   x11probe pixel WINDOW X Y  prints the colour shown at (X, Y) of the window as "R G B"
//   x11probe ping WINDOW       returns once the window's program has handled all that was sent
//                              to it before, however long a busy machine makes that take; fails
//                              if the window goes first
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Close(Display* display, Window window)
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return 0;
}

int Pixel(Display* display, Window window, int x, int y)
{
    XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image)
        return 1;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    std::printf("%lu %lu %lu\n", (pixel >> 16) & 0xff, (pixel >> 8) & 0xff, pixel & 0xff);
    XDestroyImage(image);
    return 0;
}

// Pings the window twice (_NET_WM_PING, which Qt answers when it handles the window's events).
// The first answer comes once the program has read the events sent before it; the second once
// it has also acted on them, as Qt acts on input after reading it.
int Ping(Display* display, Window window)
{
    const Window root = DefaultRootWindow(display);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(display, "_NET_WM_PING", False);
    XSelectInput(display, root, StructureNotifyMask);  // where the answer is sent
    XSelectInput(display, window, StructureNotifyMask);
    for (int round = 0; round < 2; ++round) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = protocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(ping);
        event.xclient.data.l[1] = CurrentTime;
        event.xclient.data.l[2] = long(window);
        XSendEvent(display, window, False, NoEventMask, &event);
        XFlush(display);
        for (;;) {
            XEvent answer;
            XNextEvent(display, &answer);
            if (answer.type == DestroyNotify && answer.xdestroywindow.window == window)
                return 1;
            if (answer.type == ClientMessage && answer.xclient.message_type == protocols
                && Atom(answer.xclient.data.l[0]) == ping && Window(answer.xclient.data.l[2]) == window)
                break;
        }
    }
    return 0;
}

int BadErrorHandler(Display*, XErrorEvent*)
{
    std::exit(1);  // the window is gone, or the point is outside it
}

}  // namespace

int main(int argc, char** argv)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display || argc < 3) {
        std::fprintf(stderr, "usage: x11probe close WINDOW | pixel WINDOW X Y | ping WINDOW (needs DISPLAY)\n");
        return 2;
    }
    XSetErrorHandler(BadErrorHandler);
    const Window window = std::strtoul(argv[2], nullptr, 0);
    int result = 2;
    if (std::strcmp(argv[1], "close") == 0)
        result = Close(display, window);
    else if (std::strcmp(argv[1], "ping") == 0)
        result = Ping(display, window);
    else if (std::strcmp(argv[1], "pixel") == 0 && argc == 5)
        result = Pixel(display, window, std::atoi(argv[3]), std::atoi(argv[4]));
    XCloseDisplay(display);
    return result;
}
