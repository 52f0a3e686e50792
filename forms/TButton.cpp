#include "forms/TButton.h"

namespace forms {

TButton::TButton(QWidget* parent)
    : QPushButton(parent)
{
}

}  // namespace forms
