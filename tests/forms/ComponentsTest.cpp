#include "forms/TOpenDialog.h"

#include "support/ModalWatcher.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QSettings>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

// How an event handler's exception is shown is tested with the entry's, in
// tests/shell/EntryTest.cpp: one table for both.

namespace {

class OpenDialog : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        for (const char* name : {"first.avi", "second.avi"}) {
            QFile file(folder.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
    }

    QTemporaryDir folder;
    QWidget form;
    forms::TOpenDialog dialog{&form};
};

TEST_F(OpenDialog, AcceptedGivesTheFullPathAndOffersItNextTime)
{
    const QString first = folder.filePath("first.avi");
    {
        ModalWatcher user(ModalWatcher::ChooseFile(first));
        ASSERT_TRUE(dialog.Execute());
    }
    EXPECT_EQ(dialog.FileName, first);

    QString offered;
    const QString second = folder.filePath("second.avi");
    ModalWatcher user(ModalWatcher::ChooseFile(second, &offered));
    ASSERT_TRUE(dialog.Execute());
    EXPECT_EQ(offered, first);
    EXPECT_EQ(dialog.FileName, second);
}

TEST_F(OpenDialog, CancelledReturnsFalseAndKeepsTheLastName)
{
    const QString first = folder.filePath("first.avi");
    {
        ModalWatcher user(ModalWatcher::ChooseFile(first));
        ASSERT_TRUE(dialog.Execute());
    }
    ModalWatcher user(ModalWatcher::Cancel);

    EXPECT_FALSE(dialog.Execute());
    EXPECT_EQ(dialog.FileName, first);
}

TEST_F(OpenDialog, KeepsNoSettings)
{
    ModalWatcher user(ModalWatcher::ChooseFile(folder.filePath("first.avi")));
    ASSERT_TRUE(dialog.Execute());

    // Qt's dialog saves its folder and history when it goes; nothing may be written.
    QSettings saved(QSettings::UserScope, QStringLiteral("QtProject"));
    EXPECT_FALSE(QFile::exists(saved.fileName())) << saved.fileName().toStdString();
    EXPECT_FALSE(saved.isWritable());
}

TEST_F(OpenDialog, IsModalOverItsForm)
{
    QWidget* parent = nullptr;
    ModalWatcher user([&](QWidget* modal) {
        parent = modal->parentWidget();
        qobject_cast<QDialog*>(modal)->reject();
    });
    dialog.Execute();
    EXPECT_EQ(parent, &form);
}

}  // namespace
