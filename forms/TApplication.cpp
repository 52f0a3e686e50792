#include "forms/TApplication.h"

#include <QIcon>
#include <QMessageBox>
#include <QSettings>

#include <cstdio>
#include <cstdlib>

namespace forms {

TApplication* Application = nullptr;

namespace {

QtMessageHandler qtHandlerBeforeStart = nullptr;
const char* startingProgram = "";

// Qt ends the process with a fatal message when it can't reach any display. That is not an
// exception to show (there is no screen to show it on) and not a crash: say so and fail.
void StartUpMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        qtHandlerBeforeStart(type, context, message);
        return;
    }
    std::fprintf(stderr, "%s: can't show any window: %s\n", startingProgram,
                 message.toLocal8Bit().constData());
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace

TApplication::TApplication(const char* programName)
    : programName_(programName)
{
    argv_[0] = programName_.data();
    Application = this;
}

TApplication::~TApplication()
{
    forms_.clear();  // before Qt goes
    InstallExceptionShower(nullptr);
    qt_.reset();
    Application = nullptr;
}

void TApplication::Initialize()
{
    // Components sit below the application and reach it only through this.
    InstallExceptionShower([](const Exception& E) { Application->ShowException(E); });
    if (QApplication::instance())
        return;
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    startingProgram = programName_.constData();
    qtHandlerBeforeStart = qInstallMessageHandler(StartUpMessageHandler);
    qt_ = std::make_unique<QApplication>(argc_, argv_);
    qInstallMessageHandler(qtHandlerBeforeStart);
    // Only closing the main form ends the program, whatever other windows are open or closed.
    QApplication::setQuitOnLastWindowClosed(false);
    // The program keeps no settings, but Qt's file dialog and HighGUI's windows would save
    // theirs in the user's configuration folder: send the user's settings nowhere.
    for (const auto format : {QSettings::NativeFormat, QSettings::IniFormat})
        QSettings::setPath(format, QSettings::UserScope, QStringLiteral("/dev/null"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/MAINICON")));
}

void TApplication::RequireInitialized() const
{
    if (!QApplication::instance())
        throw Exception(QStringLiteral("The application must be initialized before it creates a form."));
}

void TApplication::Adopt(std::unique_ptr<TForm> form)
{
    if (forms_.empty()) {
        // Closing the main form ends the program: every other window closes too, and with it
        // any playback, so the event loop can return.
        QObject::connect(form.get(), &TForm::Closed, form.get(), [] {
            QApplication::closeAllWindows();
            QCoreApplication::quit();
        });
    }
    forms_.push_back(std::move(form));
}

void TApplication::Run()
{
    if (forms_.empty())
        return;
    forms_.front()->show();
    QApplication::exec();
}

void TApplication::ShowException(const Exception& E)
{
    QMessageBox box(QMessageBox::Critical, QApplication::applicationName(), E.Message,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

}  // namespace forms
