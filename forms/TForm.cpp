#include "forms/TForm.h"

#include "forms/TMainMenu.h"

#include <QCloseEvent>
#include <QWindow>

namespace forms {

TForm::TForm(QWidget* Owner)
    : QMainWindow(Owner)
{
    setCentralWidget(new QWidget(this));
}

QWidget* TForm::ClientArea() const
{
    return centralWidget();
}

void TForm::SetOuterGeometry(const QRect& rect)
{
    outerGeometry_ = rect;
    ApplyOuterGeometry();
}

QRect TForm::OuterGeometry() const
{
    return outerGeometry_;
}

void TForm::SetMenu(TMainMenu* menu)
{
    setMenuBar(menu);
    menu->show();
}

void TForm::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        emit Closed();
}

void TForm::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    ApplyOuterGeometry();
}

// The window manager tells the frame's size only once the window is up, and moves the window
// when it adds the frame: the outer size is applied again then.
void TForm::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    if (windowHandle() && windowHandle()->frameMargins() != appliedFrame_)
        ApplyOuterGeometry();
}

void TForm::ApplyOuterGeometry()
{
    if (!outerGeometry_.isValid())
        return;
    appliedFrame_ = windowHandle() ? windowHandle()->frameMargins() : QMargins();
    move(outerGeometry_.topLeft());
    resize(outerGeometry_.size().shrunkBy(appliedFrame_));
}

}  // namespace forms
