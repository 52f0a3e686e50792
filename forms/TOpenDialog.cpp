#include "forms/TOpenDialog.h"

#include <QFileDialog>
#include <QStringList>
#include <QWidget>

namespace forms {

TOpenDialog::TOpenDialog(QWidget* form)
    : QObject(form)
{
}

bool TOpenDialog::Execute()
{
    QFileDialog dialog(qobject_cast<QWidget*>(parent()));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    if (!FileName.isEmpty())
        dialog.selectFile(FileName);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty())
        return false;
    FileName = files.first();
    return true;
}

}  // namespace forms
