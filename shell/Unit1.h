#pragma once

#include "forms/TButton.h"
#include "forms/TForm.h"
#include "forms/TMainMenu.h"
#include "forms/TMenuItem.h"
#include "forms/TObject.h"
#include "forms/TOpenDialog.h"

// The main window. Its layout and bindings come from its form description, resource TFORM1.
class TForm1 : public forms::TForm {
    Q_OBJECT
    Q_PROPERTY(forms::TMainMenu* MainMenu1 MEMBER MainMenu1)
    Q_PROPERTY(forms::TMenuItem* N1 MEMBER N1)
    Q_PROPERTY(forms::TMenuItem* N2 MEMBER N2)
    Q_PROPERTY(forms::TButton* Button1 MEMBER Button1)
    Q_PROPERTY(forms::TOpenDialog* OpenDialog1 MEMBER OpenDialog1)

public:
    explicit TForm1(QWidget* Owner);

    // The Open command: asks for a file and plays it, or plays again without one.
    Q_INVOKABLE void N2Click(forms::TObject* Sender);

    // Components, owned by the form, set when its description is read.
    forms::TMainMenu* MainMenu1 = nullptr;
    forms::TMenuItem* N1 = nullptr;
    forms::TMenuItem* N2 = nullptr;
    forms::TButton* Button1 = nullptr;
    forms::TOpenDialog* OpenDialog1 = nullptr;
};

// The one main window, from its creation until the application goes.
extern TForm1* Form1;
