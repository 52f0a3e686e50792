#pragma once

#include <QMenuBar>

namespace forms {

class TMenuItem;

// A form's menu bar; shown once the form's Menu names it.
class TMainMenu : public QMenuBar {
    Q_OBJECT

public:
    explicit TMainMenu(QWidget* form);

    void Add(TMenuItem* item);
};

}  // namespace forms
