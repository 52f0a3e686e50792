#include "forms/TApplication.h"
#include "shell/Entry.h"
#include "shell/PlaybackModule.h"
#include "shell/Unit1.h"

#include <QTimer>
#include <QtGlobal>

// The program takes nothing from its command line.
int main()
{
    Q_INIT_RESOURCE(resources);
    forms::TApplication application("reelview");
    return GuardedEntry([] {
        forms::Application->Initialize();
        forms::Application->CreateForm(Form1);
        // Playback loads once the event loop runs, when the main window is on its way.
        QTimer::singleShot(0, playback_module::StartLoading);
        forms::Application->Run();
    });
}
