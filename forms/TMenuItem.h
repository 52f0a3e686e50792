#pragma once

#include "forms/TObject.h"

#include <QAction>

namespace forms {

// A menu command; with items of its own it opens them as a submenu, its menu(), instead.
class TMenuItem : public QAction {
    Q_OBJECT

public:
    // The owner is the menu bar or the item this one belongs to.
    explicit TMenuItem(QObject* owner);

    void Add(TMenuItem* item);

    // Runs OnClick, as choosing the item does. An exception it raises is shown (HandleException)
    // and goes no further: Qt's event loop must not see it.
    void Click();

    TNotifyEvent OnClick;
};

}  // namespace forms
