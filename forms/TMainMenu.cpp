#include "forms/TMainMenu.h"

#include "forms/TMenuItem.h"

namespace forms {

TMainMenu::TMainMenu(QWidget* form)
    : QMenuBar(form)
{
    hide();  // not part of the client area until the form takes it as its menu
}

void TMainMenu::Add(TMenuItem* item)
{
    addAction(item);
}

}  // namespace forms
