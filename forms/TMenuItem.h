#pragma once

#include "forms/TObject.h"

#include <QAction>

class QMenu;

namespace forms {

// A menu command; with items of its own it opens them as a submenu instead.
class TMenuItem : public QAction {
    Q_OBJECT

public:
    // The owner is the menu bar or the item this one belongs to.
    explicit TMenuItem(QObject* owner);

    void Add(TMenuItem* item);
    QMenu* Submenu() const { return submenu_; }

    // Runs OnClick, as choosing the item does. An exception it raises is shown by the
    // application and goes no further: Qt's event loop must not see it.
    void Click();

    TNotifyEvent OnClick;

private:
    QMenu* submenu_ = nullptr;  // owned by the window the menu hangs off
};

}  // namespace forms
