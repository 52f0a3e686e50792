#include "shell/Unit1.h"

#include "shell/PlaybackModule.h"

#include <QFile>

#include <optional>
#include <string>

TForm1* Form1 = nullptr;

TForm1::TForm1(QWidget* Owner)
    : TForm(Owner)
{
}

void TForm1::N2Click(forms::TObject* /*Sender*/)
{
    std::optional<std::string> acceptedName;
    if (OpenDialog1->Execute())
        // The file system's own bytes: a name need not be valid in any encoding.
        acceptedName = QFile::encodeName(OpenDialog1->FileName).toStdString();
    playback_module::PlayVideo(acceptedName);
}
