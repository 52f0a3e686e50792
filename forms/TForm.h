#pragma once

#include <QMainWindow>
#include <QMargins>
#include <QRect>

namespace forms {

class TMainMenu;

// A window whose layout comes from its form description, read by LoadDescription.
// A derived form publishes its components as Q_PROPERTY members and its event handlers as
// Q_INVOKABLE methods taking the sender, and the description binds both by name.
class TForm : public QMainWindow {
    Q_OBJECT

public:
    explicit TForm(QWidget* Owner);

    // Builds the form from the resource named after its class in capitals (TForm1: ":/TFORM1").
    // Called after construction, when the derived class's members can be found.
    void LoadDescription();

    // The area below the menu bar, where controls sit.
    QWidget* ClientArea() const;

    // The window's outer rectangle, frame included, as the description stores it.
    void SetOuterGeometry(const QRect& rect);
    QRect OuterGeometry() const;

    void SetMenu(TMainMenu* menu);
    TMainMenu* Menu() const;

    // Stored by the description; the layout was made for this screen and text height.
    int PixelsPerInch = 96;
    int TextHeight = 13;
    bool OldCreateOrder = false;

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
    TMainMenu* menu_ = nullptr;
};

}  // namespace forms
