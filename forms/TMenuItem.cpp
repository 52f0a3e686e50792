#include "forms/TMenuItem.h"

#include "forms/Exception.h"

#include <QMenu>
#include <QWidget>

namespace forms {

namespace {

QWidget* NearestWidget(QObject* object)
{
    for (; object; object = object->parent())
        if (auto* widget = qobject_cast<QWidget*>(object))
            return widget;
    return nullptr;
}

}  // namespace

TMenuItem::TMenuItem(QObject* owner)
    : QAction(owner)
{
    connect(this, &QAction::triggered, this, &TMenuItem::Click);
}

void TMenuItem::Add(TMenuItem* item)
{
    if (!menu())
        setMenu(new QMenu(NearestWidget(parent())));  // owned by the window it hangs off
    menu()->addAction(item);
}

void TMenuItem::Click()
{
    if (!OnClick)
        return;
    try {
        OnClick(this);
    } catch (...) {
        HandleException();
    }
}

}  // namespace forms
