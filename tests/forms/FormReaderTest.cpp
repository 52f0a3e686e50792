#include "forms/Exception.h"
#include "forms/FormReader.h"
#include "forms/TButton.h"
#include "forms/TForm.h"
#include "forms/TMainMenu.h"
#include "forms/TMenuItem.h"
#include "forms/TOpenDialog.h"

#include "ExpectFailure.h"

#include <QMenu>
#include <QPointer>

#include <gtest/gtest.h>

#include <memory>

// A form like the program's, with a handler that records its calls.
class TTestForm : public forms::TForm {
    Q_OBJECT
    Q_PROPERTY(forms::TMainMenu* Menu1 MEMBER Menu1)
    Q_PROPERTY(forms::TMenuItem* File1 MEMBER File1)
    Q_PROPERTY(forms::TMenuItem* Open1 MEMBER Open1)
    Q_PROPERTY(forms::TButton* Button1 MEMBER Button1)
    Q_PROPERTY(forms::TOpenDialog* Dialog1 MEMBER Dialog1)

public:
    TTestForm()
        : TForm(nullptr)
    {
    }

    Q_INVOKABLE void OpenClick(forms::TObject* Sender) { senders.push_back(Sender); }
    Q_INVOKABLE void TwoArguments(forms::TObject*, int) {}

    forms::TMainMenu* Menu1 = nullptr;
    forms::TMenuItem* File1 = nullptr;
    forms::TMenuItem* Open1 = nullptr;
    forms::TButton* Button1 = nullptr;
    forms::TOpenDialog* Dialog1 = nullptr;
    std::vector<forms::TObject*> senders;
};

namespace {

const char* const goodDescription = R"(object Test1: TTestForm
  Left = 10
  Top = 20
  Width = 300
  Height = 200
  Caption = 'Test'#33
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -13
  Font.Name = 'DejaVu Sans'
  Font.Style = [fsItalic]
  Menu = Menu1
  OldCreateOrder = True
  PixelsPerInch = 120
  TextHeight = 16
  object Button1: TButton
    Left = 5
    Top = 6
    Width = 70
    Height = 22
    Caption = 'Press'
    TabOrder = 3
  end
  object Menu1: TMainMenu
    Left = 8
    Top = 9
    object File1: TMenuItem
      Caption = 'File'
      object Open1: TMenuItem
        Caption = 'Open'
        OnClick = OpenClick
      end
    end
  end
  object Dialog1: TOpenDialog
    Left = 1
    Top = 2
  end
end
)";

QString Replace(const char* from, const char* to)
{
    return QString::fromUtf8(goodDescription).replace(QString::fromUtf8(from), QString::fromUtf8(to));
}

TEST(FormReader, BuildsTheFormWithEveryStoredValue)
{
    TTestForm form;
    forms::ReadForm(form, QString::fromUtf8(goodDescription));

    EXPECT_EQ(form.objectName(), "Test1");
    EXPECT_EQ(form.OuterGeometry(), QRect(10, 20, 300, 200));
    EXPECT_EQ(form.windowTitle(), "Test!");
    EXPECT_EQ(form.palette().color(QPalette::Window), form.palette().color(QPalette::Button));
    const QFont font = form.ClientArea()->font();
    EXPECT_EQ(font.pixelSize(), 13);
    EXPECT_EQ(font.family(), "DejaVu Sans");
    EXPECT_TRUE(font.italic());
    EXPECT_FALSE(font.bold());

    ASSERT_TRUE(form.Button1);
    EXPECT_EQ(form.Button1->parentWidget(), form.ClientArea());
    EXPECT_EQ(form.Button1->geometry(), QRect(5, 6, 70, 22));
    EXPECT_EQ(form.Button1->text(), "Press");
    EXPECT_EQ(form.Button1->font().pixelSize(), 13);

    ASSERT_TRUE(form.Menu1);
    EXPECT_EQ(form.menuBar(), form.Menu1);
    ASSERT_TRUE(form.File1 && form.Open1);
    EXPECT_EQ(form.Menu1->actions(), QList<QAction*>{form.File1});
    ASSERT_TRUE(form.File1->menu());
    EXPECT_EQ(form.File1->menu()->actions(), QList<QAction*>{form.Open1});
    EXPECT_EQ(form.File1->text(), "File");
    EXPECT_TRUE(form.Open1->shortcut().isEmpty());

    ASSERT_TRUE(form.Dialog1);
    EXPECT_TRUE(form.Dialog1->FileName.isEmpty());
}

TEST(FormReader, BindsTheEventToTheNamedMethodWithTheSender)
{
    TTestForm form;
    forms::ReadForm(form, QString::fromUtf8(goodDescription));

    form.Open1->trigger();
    form.File1->trigger();  // no handler: nothing happens

    EXPECT_EQ(form.senders, std::vector<forms::TObject*>{form.Open1});
}

TEST(FormReader, ComponentsBelongToTheForm)
{
    QPointer<forms::TMenuItem> item;
    QPointer<forms::TOpenDialog> dialog;
    {
        TTestForm form;
        forms::ReadForm(form, QString::fromUtf8(goodDescription));
        item = form.Open1;
        dialog = form.Dialog1;
    }
    EXPECT_TRUE(item.isNull());
    EXPECT_TRUE(dialog.isNull());
}

struct Broken {
    const char* what;
    QString text;
    int line;
    const char* message;
};

void PrintTo(const Broken& c, std::ostream* out)
{
    *out << c.what;
}

class BrokenDescription : public testing::TestWithParam<Broken> {};

TEST_P(BrokenDescription, FailsNamingTheLineAndTheFault)
{
    const Broken& c = GetParam();
    TTestForm form;
    ExpectFailureAt([&] { forms::ReadForm(form, c.text); }, c.line, c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, BrokenDescription,
    testing::Values(
        Broken{"syntax", Replace("Left = 10", "Left = ="), 2, "expected a value"},
        Broken{"other form class", Replace("Test1: TTestForm", "Test1: TForm1"), 1,
               "the description is of TForm1, not TTestForm"},
        Broken{"unknown class", Replace("Dialog1: TOpenDialog", "Dialog1: TSaveDialog"), 36,
               "unknown class TSaveDialog"},
        Broken{"unknown form property", Replace("Top = 20", "Topp = 20"), 3, "has no property Topp"},
        Broken{"unknown button property", Replace("TabOrder = 3", "OnClick = OpenClick"), 23,
               "Button1 (TButton) has no property OnClick"},
        Broken{"string for number", Replace("Left = 5", "Left = '5'"), 18, "Left needs a whole number, not a string"},
        Broken{"number for string", Replace("Caption = 'Press'", "Caption = 5"), 22, "Caption needs a string"},
        Broken{"negative size", Replace("Width = 70", "Width = -70"), 20, "Width must be from 0 to 32767"},
        // Found by the fuzzer: QRect's arithmetic overflowed on the lowest int.
        Broken{"position beyond the screen", Replace("Left = 10", "Left = -2147483648"), 2,
               "Left must be from -32767 to 32767"},
        Broken{"size beyond the screen", Replace("Height = 200", "Height = 2147483647"), 5,
               "Height must be from 0 to 32767"},
        // Values only the designer uses are still checked.
        Broken{"size of a menu", Replace("Left = 8", "Width = 8"), 26, "has no property Width"},
        Broken{"not a boolean", Replace("OldCreateOrder = True", "OldCreateOrder = Yes"), 14, "can't be Yes"},
        Broken{"no pixels per inch", Replace("PixelsPerInch = 120", "PixelsPerInch = 0"), 15,
               "PixelsPerInch must be from 1 to 2147483647"},
        Broken{"text without height", Replace("TextHeight = 16", "TextHeight = 0"), 16,
               "TextHeight must be from 1 to 2147483647"},
        Broken{"negative tab order", Replace("TabOrder = 3", "TabOrder = -1"), 23,
               "TabOrder must be from 0 to 2147483647"},
        Broken{"menu beyond the screen", Replace("Top = 9", "Top = 40000"), 27, "Top must be from -32767 to 32767"},
        Broken{"dialog position not a number", Replace("    Top = 2\n", "    Top = 'two'\n"), 38,
               "Top needs a whole number, not a string"},
        Broken{"unknown charset", Replace("DEFAULT_CHARSET", "GB2312_CHARSET"), 8, "Font.Charset can't be GB2312_CHARSET"},
        Broken{"unknown colour", Replace("Color = clBtnFace", "Color = clPurple"), 7, "Color can't be clPurple"},
        Broken{"unknown style", Replace("[fsItalic]", "[fsItalic, fsWavy]"), 12, "no member fsWavy"},
        Broken{"positive font height", Replace("Font.Height = -13", "Font.Height = 13"), 10, "must be negative"},
        Broken{"unknown handler", Replace("OnClick = OpenClick", "OnClick = SaveClick"), 32,
               "TTestForm has no event handler SaveClick"},
        Broken{"handler of another shape", Replace("OnClick = OpenClick", "OnClick = TwoArguments"), 32,
               "no event handler TwoArguments"},
        Broken{"component without member", Replace("Dialog1: TOpenDialog", "Dialog2: TOpenDialog"), 36,
               "TTestForm has no member Dialog2"},
        Broken{"duplicate name", Replace("Dialog1: TOpenDialog", "Button1: TOpenDialog"), 36,
               "a second component named Button1"},
        Broken{"component of the wrong class", Replace("Button1: TButton", "Button1: TOpenDialog"), 17,
               "TOpenDialog is not a forms::TButton*"},
        Broken{"menu names a button", Replace("Menu = Menu1", "Menu = Button1"), 13,
               "Menu names Button1, which is no TMainMenu"},
        Broken{"item outside a menu", Replace("Dialog1: TOpenDialog", "Extra: TMenuItem"), 36,
               "menu item Extra is not inside a menu"},
        Broken{"button in a menu", Replace("Open1: TMenuItem", "Open1: TButton"), 30,
               "Open1 (TButton) can't be in a menu"},
        Broken{"child of a button", Replace("    TabOrder = 3\n", "    object X: TButton\n    end\n"), 23,
               "Button1 (TButton) can't hold other components"},
        Broken{"member left unset", Replace("  object Dialog1: TOpenDialog\n    Left = 1\n    Top = 2\n  end\n", ""), 1,
               "no component for TTestForm.Dialog1"}));

}  // namespace

#include "FormReaderTest.moc"
