#include "shell/PlaybackModule.h"

#include "forms/Exception.h"
#include "playback/PlayVideo.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QMargins>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <fstream>
#include <string_view>
#include <future>
#include <vector>

#include <dlfcn.h>
#include <elf.h>

namespace playback_module {

namespace {

using Entry = decltype(&ReelviewPlayVideo);

struct Loaded {
    Entry play = nullptr;
    QString error;  // why play is missing
};

// Whether every part of the file that loading maps is there. The loader maps a cut-off file
// as if it were whole, and touching the missing part then kills the process (SIGBUS).
bool Complete(const QString& path)
{
    std::ifstream file(QFile::encodeName(path).toStdString(), std::ios::binary | std::ios::ate);
    const auto size = static_cast<Elf64_Off>(file.tellg());
    Elf64_Ehdr header{};
    file.seekg(0);
    if (!file.read(reinterpret_cast<char*>(&header), sizeof header)
        || std::string_view(reinterpret_cast<char*>(header.e_ident), SELFMAG) != ELFMAG
        || header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_phentsize != sizeof(Elf64_Phdr))
        return false;
    std::vector<Elf64_Phdr> segments(header.e_phnum);
    file.seekg(static_cast<std::streamoff>(header.e_phoff));
    if (!file.read(reinterpret_cast<char*>(segments.data()),
                   static_cast<std::streamsize>(segments.size() * sizeof(Elf64_Phdr))))
        return false;
    for (const Elf64_Phdr& segment : segments)
        if (segment.p_type == PT_LOAD && (segment.p_offset > size || segment.p_filesz > size - segment.p_offset))
            return false;
    return true;
}

// The frame the window manager draws around windows, as it drew it around one shown now.
QMargins WindowFrame()
{
    for (const QWidget* window : QApplication::topLevelWidgets())
        if (window->windowType() == Qt::Window && window->isVisible()) {
            const QRect outer = window->frameGeometry(), inner = window->geometry();
            return {inner.left() - outer.left(), inner.top() - outer.top(),
                    outer.right() - inner.right(), outer.bottom() - inner.bottom()};
        }
    return {};
}

// Runs on the loading thread. The module stays loaded for the rest of the process.
Loaded Load(const QString& path)
{
    if (QFile::exists(path) && !Complete(path))
        return {nullptr, QStringLiteral("The playback module %1 is damaged.").arg(path)};
    void* module = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return {nullptr, QStringLiteral("The playback module can't be loaded: %1")
                             .arg(QString::fromLocal8Bit(dlerror()))};
    auto* play = reinterpret_cast<Entry>(dlsym(module, playVideoEntry));
    auto* useScreens = reinterpret_cast<decltype(&ReelviewUseScreens)>(dlsym(module, useScreensEntry));
    if (!play || !useScreens)
        return {nullptr, QStringLiteral("The playback module %1 has no entry point %2.")
                             .arg(path, QLatin1String(play ? useScreensEntry : playVideoEntry))};
    useScreens(RoomOnScreen);
    return {play, {}};
}

// Watches a window for its first exposure, then starts loading on the next turn of the event
// loop, after the window has painted itself.
class LoadWhenExposed : public QObject {
public:
    explicit LoadWhenExposed(QWindow* window)
        : QObject(window)
    {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Expose) {
            QTimer::singleShot(0, StartLoading);
            deleteLater();
        }
        return false;
    }
};

std::shared_future<Loaded>& Loading()
{
    static std::shared_future<Loaded> loading;
    return loading;
}

}  // namespace

ScreenRoom RoomOnScreen(int x, int y)
{
    const QScreen* screen = QGuiApplication::screenAt({x, y});
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QMargins frame = WindowFrame();
    // Qt's units: with high-DPI scaling on, HighGUI's windows are sized in the same ones.
    const QRect room = screen ? screen->availableGeometry() - frame : QRect();
    return {room.x(), room.y(), room.width(), room.height(), frame.left(), frame.top(),
            screen ? screen->devicePixelRatio() : 1.0};
}

void PumpEvents()
{
    // One pass of the event dispatcher handles only the sources of one priority; passes go on
    // while there is work, for 10 ms at the most, so a pump never holds up the frames for long.
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void StartLoading()
{
    if (Loading().valid())
        return;
    const QString path =
        QDir::cleanPath(QCoreApplication::applicationDirPath() + QStringLiteral("/" PLAYBACK_MODULE));
    Loading() = std::async(std::launch::async, Load, path).share();
}

void StartLoadingOnceShown(QWidget& window)
{
    window.winId();  // the native window, to be watched before it is shown
    new LoadWhenExposed(window.windowHandle());
}

void PlayVideo(const std::optional<std::string>& acceptedName)
{
    StartLoading();
    const Loaded& loaded = Loading().get();
    if (!loaded.play)
        throw forms::Exception(loaded.error);
    loaded.play(acceptedName ? acceptedName->data() : nullptr, acceptedName ? acceptedName->size() : 0,
                PumpEvents);
}

}  // namespace playback_module
