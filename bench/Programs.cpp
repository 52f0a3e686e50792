#include "Programs.h"

#include "Measures.h"

#include <QProcess>
#include <QStringList>

#include <X11/Xlib.h>

#include <sstream>
#include <thread>

namespace {

bool MainWindowShown(Display* display)
{
    Window rootReturn, parent;
    Window* children = nullptr;
    unsigned count = 0;
    bool shown = false;
    if (!XQueryTree(display, DefaultRootWindow(display), &rootReturn, &parent, &children, &count))
        return false;
    for (unsigned i = 0; i < count && !shown; ++i) {
        char* name = nullptr;
        XWindowAttributes attributes;
        if (XFetchName(display, children[i], &name) && name) {
            shown = std::string(name) == "Form1"
                && XGetWindowAttributes(display, children[i], &attributes)
                && attributes.map_state == IsViewable;
            XFree(name);
        }
    }
    if (children)
        XFree(children);
    return shown;
}

}  // namespace

double StartUpMs(const std::string& program)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return -1;
    QProcess process;
    const auto start = Clock::now();
    process.start(QString::fromStdString(program), QStringList());
    double shownMs = -1;
    while (MsSince(start) < 10000) {
        if (MainWindowShown(display)) {
            shownMs = MsSince(start);
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    process.kill();
    process.waitForFinished();
    XCloseDisplay(display);
    return shownMs;
}

std::vector<Figure> RunForFigures(const std::string& program, const std::vector<std::string>& arguments)
{
    QStringList list;
    for (const std::string& argument : arguments)
        list << QString::fromStdString(argument);
    QProcess process;
    process.start(QString::fromStdString(program), list);
    process.waitForFinished(120000);
    std::istringstream output(process.readAllStandardOutput().toStdString());
    std::vector<Figure> figures;
    Figure figure;
    while (output >> figure.name >> figure.value)
        figures.push_back(figure);
    return figures;
}

double FigureOf(const std::vector<Figure>& figures, const std::string& name)
{
    for (const Figure& figure : figures)
        if (figure.name == name)
            return figure.value;
    return -1;
}
