#pragma once

#include <QObject>
#include <QString>

class QWidget;

namespace forms {

// The open-file dialog of a form. FileName keeps the last accepted path and is offered again.
class TOpenDialog : public QObject {
    Q_OBJECT

public:
    explicit TOpenDialog(QWidget* form);

    // Shows the dialog modally; true when the user accepted a file, now in FileName.
    bool Execute();

    QString FileName;
};

}  // namespace forms
