#include "support/ModalWatcher.h"

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QTest>
#include <QMessageBox>
#include <QWidget>

namespace {
const char* const answeredMark = "answeredByModalWatcher";
}

ModalWatcher::ModalWatcher(std::function<void(QWidget*)> answer)
    : answer_(std::move(answer))
{
    connect(&timer_, &QTimer::timeout, this, &ModalWatcher::Check);
    timer_.start(10);
}

void ModalWatcher::Check()
{
    // A window is marked once answered: the next one may reuse the same address.
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal->property(answeredMark).toBool())
        return;
    modal->setProperty(answeredMark, true);
    ++answered_;
    answer_(modal);
}

std::function<void(QWidget*)> ModalWatcher::AcknowledgeMessages(QStringList& texts)
{
    return [&texts](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        texts << (box ? box->text() : QStringLiteral("<not a message box>"));
        if (box)
            box->accept();
        else
            modal->close();
    };
}

std::function<void(QWidget*)> ModalWatcher::ChooseFile(const QString& path, QString* offered)
{
    return [path, offered](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        if (!dialog) {
            modal->close();
            return;
        }
        if (offered) {
            const QStringList selected = dialog->selectedFiles();
            *offered = selected.isEmpty() ? QString() : selected.first();
        }
        // A user answers once the folder is listed (the dialog selects the offered file then),
        // by entering the path over the name field and pressing Return.
        auto* list = dialog->findChild<QListView*>(QStringLiteral("listView"));
        if (list)
            (void)QTest::qWaitFor([list] { return list->model()->rowCount(list->rootIndex()) > 0; }, 5000);
        QCoreApplication::processEvents();
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!name) {
            dialog->reject();
            return;
        }
        name->selectAll();
        name->insert(path);  // as typing or pasting it does; key clicks can't type Chinese
        QTest::keyClick(name, Qt::Key_Return);
    };
}

void ModalWatcher::Cancel(QWidget* modal)
{
    if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
    else
        modal->close();
}
