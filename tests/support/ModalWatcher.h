#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

class QWidget;

// Answers modal windows (dialogs, message boxes) as they appear, as a user at the screen would,
// and remembers the message boxes' texts.
class ModalWatcher : public QObject {
public:
    // The answer gets each modal window once; it must close it.
    explicit ModalWatcher(std::function<void(QWidget*)> answer);

    // An answer that reads a message box's text and presses its button.
    static std::function<void(QWidget*)> AcknowledgeMessages(QStringList& texts);
    // An answer that enters a path into an open dialog and presses Return; what the dialog
    // offered at first goes to offered.
    static std::function<void(QWidget*)> ChooseFile(const QString& path, QString* offered = nullptr);
    static void Cancel(QWidget* modal);

    int Answered() const { return answered_; }

private:
    void Check();

    std::function<void(QWidget*)> answer_;
    QTimer timer_;
    int answered_ = 0;
};
