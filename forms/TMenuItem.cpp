#include "forms/TMenuItem.h"

#include "forms/TApplication.h"

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
    if (!submenu_) {
        submenu_ = new QMenu(NearestWidget(parent()));
        setMenu(submenu_);
    }
    submenu_->addAction(item);
}

void TMenuItem::Click()
{
    if (!OnClick)
        return;
    try {
        OnClick(this);
    } catch (...) {
        Application->HandleException();
    }
}

}  // namespace forms
