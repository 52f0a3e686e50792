#include "shell/Entry.h"

#include "forms/TApplication.h"
#include "forms/TMenuItem.h"
#include "playback/PlayVideo.h"
#include "shell/Unit1.h"

#include "support/Colours.h"
#include "support/DuringPlayback.h"
#include "support/ModalWatcher.h"
#include "support/ProgramResources.h"
#include "support/TestVideo.h"
#include "support/VideoWindow.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <stdexcept>

// A form whose description the program does not have.
class TMissingForm : public forms::TForm {
    Q_OBJECT

public:
    explicit TMissingForm(QWidget* Owner)
        : TForm(Owner)
    {
    }
};

// A form whose embedded description is malformed (tests/shell/BrokenForm.dfm).
class TBrokenForm : public forms::TForm {
    Q_OBJECT

public:
    explicit TBrokenForm(QWidget* Owner)
        : TForm(Owner)
    {
    }
};


namespace {

struct Escaping {
    const char* what;
    std::function<void()> raise;
    QString shown;
};

void PrintTo(const Escaping& c, std::ostream* out)
{
    *out << c.what;
}

// An exception stops at the entry's guard or at the caller of a menu command's handler, and
// either way is shown once and goes no further: out of main, or into Qt's event loop.
class EscapingException : public testing::TestWithParam<Escaping> {};

TEST_P(EscapingException, IsShownAndGoesNoFurther)
{
    const Escaping& c = GetParam();
    QStringList shown;
    ModalWatcher user(ModalWatcher::AcknowledgeMessages(shown));
    QWidget owner;
    forms::TMenuItem item(&owner);
    item.OnClick = [&c](forms::TObject*) { c.raise(); };

    EXPECT_EQ(GuardedEntry(c.raise), 0) << "the process's exit code";
    EXPECT_NO_THROW(item.trigger());

    EXPECT_EQ(shown, (QStringList{c.shown, c.shown}));
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, EscapingException,
    testing::Values(
        Escaping{"Exception", [] { throw forms::Exception(QStringLiteral("Start-up failed")); },
                 "Start-up failed"},
        Escaping{"empty Exception", [] { throw forms::Exception(QString()); }, ""},
        Escaping{"std::exception", [] { throw std::runtime_error("not shown"); }, ""},
        Escaping{"int", [] { throw 7; }, ""},
        Escaping{"form without description",
                 [] {
                     TMissingForm* form = nullptr;
                     forms::Application->CreateForm(form);
                 },
                 "The form description TMISSINGFORM is missing."},
        Escaping{"malformed description",
                 [] {
                     TBrokenForm* form = nullptr;
                     forms::Application->CreateForm(form);
                 },
                 "Form description TBROKENFORM, line 3: BrokenForm (TBrokenForm) has no property Colour"}));

class Entry : public testing::Test {
protected:
    void SetUp() override { InitProgramResources(); }

    static int RunProgram()
    {
        return GuardedEntry([] {
            forms::Application->CreateForm(Form1);
            forms::Application->Run();
        });
    }

    TestVideoFolder videos;
};

TEST_F(Entry, ClosingTheMainFormEndsTheEventLoopWithExitCodeZero)
{
    QStringList shown;
    ModalWatcher user(ModalWatcher::AcknowledgeMessages(shown));
    QTimer::singleShot(50, [] { Form1->close(); });

    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(shown.isEmpty());
    EXPECT_FALSE(Form1->isVisible());
}

TEST_F(Entry, ClosingTheMainFormDuringPlaybackStopsItAndEndsTheProgram)
{
    const std::string path = videos.WriteLong("long.avi", 3000, testcolours::red, testcolours::blue);
    std::unique_ptr<DuringPlayback> closeMainForm;
    bool playbackReturned = false;
    QTimer::singleShot(50, [&] {
        PlayVideo(videos.Write("one.avi", {testcolours::red}));  // the window exists: the next pump is playback's
        closeMainForm = std::make_unique<DuringPlayback>([] { Form1->close(); });
        PlayVideo(path);
        playbackReturned = true;
    });

    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(playbackReturned);
    EXPECT_FALSE(videowindow::IsShown());
}

}  // namespace

#include "EntryTest.moc"
