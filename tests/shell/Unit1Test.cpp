#include "shell/Unit1.h"

#include "forms/TApplication.h"
#include "playback/PlayVideo.h"

#include "support/Colours.h"
#include "support/ModalWatcher.h"
#include "support/ProgramResources.h"
#include "support/TestVideo.h"
#include "support/VideoWindow.h"
#include "support/fake_camera/FakeCamera.h"
#include "support/fake_camera/WhenPictureShown.h"

#include <QFileDialog>
#include <QMenu>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>


namespace {

using namespace testcolours;

// Each test runs in a process of its own (ctest), with the one main form the program has.
class MainForm : public testing::Test {
protected:
    void SetUp() override
    {
        InitProgramResources();
        forms::Application->CreateForm(Form1);
        Form1->show();
    }

    // 檔案 ▸ 開啟 with the mouse, as a user would; returns once the command is done.
    static void ChooseOpen()
    {
        QMenuBar* bar = Form1->MainMenu1;
        QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(Form1->N1).center());
        QMenu* menu = Form1->N1->menu();
        ASSERT_TRUE(menu->isVisible()) << "檔案 did not open its menu";
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(Form1->N2).center());
    }

    static std::function<void(QWidget*)> Accept(const std::string& path)
    {
        return ModalWatcher::ChooseFile(QFile::decodeName(path.c_str()));
    }

    static void Cancel(QWidget* modal) { ModalWatcher::Cancel(modal); }

    static bool ShowsColour(QColor colour)
    {
        const auto shown = videowindow::ShownColour();
        return shown && IsNear(*shown, colour);
    }

    TestVideoFolder videos;
};

TEST_F(MainForm, HasEveryValueOfItsDescription)
{
    EXPECT_EQ(Form1->objectName(), "Form1");
    EXPECT_EQ(Form1->OuterGeometry(), QRect(192, 114, 696, 480));
    // The offscreen platform draws no frame: the outer rectangle is the window's.
    EXPECT_EQ(Form1->frameGeometry(), QRect(192, 114, 696, 480));
    EXPECT_EQ(Form1->windowTitle(), "Form1");
    EXPECT_EQ(Form1->palette().color(QPalette::Window), QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(Form1->ClientArea()->palette().color(QPalette::WindowText),
              QApplication::palette().color(QPalette::WindowText));
    const QFont font = Form1->Button1->font();
    EXPECT_EQ(font.pixelSize(), 11);
    EXPECT_EQ(font.family(), "MS Sans Serif");
    EXPECT_EQ(font.styleHint(), QFont::SansSerif);
    EXPECT_FALSE(font.bold() || font.italic() || font.underline() || font.strikeOut());
    EXPECT_FALSE(QApplication::windowIcon().isNull());

    EXPECT_EQ(Form1->menuBar(), Form1->MainMenu1);
    EXPECT_TRUE(Form1->MainMenu1->isVisible());
    EXPECT_EQ(Form1->MainMenu1->actions(), QList<QAction*>{Form1->N1});
    EXPECT_EQ(Form1->N1->text(), QString::fromUtf8("檔案"));
    EXPECT_EQ(Form1->N1->menu()->actions(), QList<QAction*>{Form1->N2});
    EXPECT_EQ(Form1->N2->text(), QString::fromUtf8("開啟"));
    for (QAction* item : {static_cast<QAction*>(Form1->N1), static_cast<QAction*>(Form1->N2)}) {
        EXPECT_TRUE(item->shortcut().isEmpty());
        EXPECT_FALSE(item->text().contains('&'));
    }

    EXPECT_EQ(Form1->Button1->parentWidget(), Form1->ClientArea());
    EXPECT_EQ(Form1->Button1->geometry(), QRect(40, 8, 75, 25));
    EXPECT_EQ(Form1->Button1->text(), "Button1");
    EXPECT_TRUE(Form1->OpenDialog1->FileName.isEmpty());
}

TEST_F(MainForm, OpenPlaysTheAcceptedFile)
{
    // A space and Chinese characters: the name travels as the file system's bytes.
    const std::string path = videos.Write("影片 one.avi", {red, red, blue});
    ModalWatcher user(Accept(path));

    ChooseOpen();

    EXPECT_EQ(user.Answered(), 1);
    EXPECT_EQ(SourceName(), path);
    EXPECT_TRUE(ShowsColour(blue));
}

// Camera 0 is the fake V4L2 camera linked into this program (tests/support/fake_camera).
TEST_F(MainForm, CancelledFirstOpenPlaysTheDefaultCamera)
{
    const QColor cameraColour(0xff, 0x80, 0x00);
    setenv("FAKE_CAMERA_COLOUR", "FF8000", 1);
    ModalWatcher user(Cancel);
    std::optional<QColor> shown;
    // A live camera plays until its window is closed, as a user would close it.
    WhenPictureShown closeWindow(cameraColour, [&shown](std::optional<QColor> colour) {
        shown = colour;
        if (QWidget* window = videowindow::Find())
            window->close();
    });

    ChooseOpen();

    EXPECT_EQ(user.Answered(), 1);
    EXPECT_FALSE(SourceName()) << "a cancelled dialog handed over a name";
    EXPECT_EQ(videowindow::Count(), 1);
    ASSERT_TRUE(shown) << "the video window showed no picture";
    EXPECT_TRUE(IsNear(*shown, cameraColour)) << "shows " << shown->name().toStdString();
    EXPECT_EQ(fakecamera::OpenDescriptorsOnceReleased(), 0) << "the camera was left open";
}

TEST_F(MainForm, CancelledLaterOpenPlaysTheLastAcceptedFileAgain)
{
    const std::string first = videos.Write("first.avi", {red, blue});
    const std::string second = videos.Write("second.avi", {red, green});
    {
        ModalWatcher user(Accept(first));
        ChooseOpen();
    }
    {
        ModalWatcher user(Accept(second));
        ChooseOpen();
    }
    videowindow::CloseAsUser();
    ModalWatcher user(Cancel);

    ChooseOpen();

    EXPECT_EQ(SourceName(), second);
    EXPECT_TRUE(ShowsColour(green)) << "the last accepted file did not play again";
}

TEST_F(MainForm, ChoosingTheFileMenuOnlyOpensIt)
{
    ModalWatcher user(Cancel);
    QMenuBar* bar = Form1->MainMenu1;

    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(Form1->N1).center());

    EXPECT_TRUE(Form1->N1->menu()->isVisible());
    QTest::qWait(50);
    EXPECT_EQ(user.Answered(), 0);
    EXPECT_EQ(videowindow::Count(), 0);
    Form1->N1->menu()->close();
}

TEST_F(MainForm, Button1DoesNothing)
{
    ModalWatcher user(Cancel);

    QTest::mouseClick(Form1->Button1, Qt::LeftButton);
    QTest::keyClick(Form1->Button1, Qt::Key_Space);
    QTest::qWait(50);

    EXPECT_EQ(user.Answered(), 0);
    EXPECT_EQ(videowindow::Count(), 0);
    EXPECT_FALSE(SourceName());
    EXPECT_TRUE(Form1->isVisible());
}

}  // namespace
