#pragma once

#include <QPushButton>

namespace forms {

// A push button on a form's client area. It has no click event of its own to bind.
class TButton : public QPushButton {
    Q_OBJECT

public:
    explicit TButton(QWidget* parent);
};

}  // namespace forms
