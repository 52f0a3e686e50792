#pragma once

#include <QMainWindow>
#include <QMargins>
#include <QRect>

namespace forms {

class TMainMenu;

// A window whose layout comes from its form description (see FormReader.h).
// A derived form publishes its components as Q_PROPERTY members and its event handlers as
// Q_INVOKABLE methods taking the sender, and the description binds both by name.
class TForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm(QWidget* Owner);

    // The area below the menu bar, where controls sit.
    QWidget* ClientArea() const;

    // The window's outer rectangle, frame included, as the description stores it.
    void SetOuterGeometry(const QRect& rect);
    QRect OuterGeometry() const;

    // Shows the menu as the form's menu bar; menuBar() gives it back.
    void SetMenu(TMainMenu* menu);

signals:
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void ApplyOuterGeometry();

    QRect outerGeometry_;
    QMargins appliedFrame_;
};

}  // namespace forms
