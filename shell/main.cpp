#include "forms/TApplication.h"
#include "shell/Entry.h"
#include "shell/PlaybackModule.h"
#include "shell/Unit1.h"

#include <QtGlobal>

// The program takes nothing from its command line.
int main()
{
    Q_INIT_RESOURCE(resources);
    forms::TApplication application("reelview");
    return GuardedEntry([] {
        forms::Application->Initialize();
        forms::Application->CreateForm(Form1);
        playback_module::StartLoadingOnceShown(*Form1);
        forms::Application->Run();
    });
}
