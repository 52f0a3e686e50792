#include "forms/Exception.h"
#include "forms/FormDescription.h"

#include "ExpectFailure.h"

#include <gtest/gtest.h>

namespace {

using forms::ParseFormDescription;
using forms::PropertyValue;
using Kind = PropertyValue::Kind;

TEST(FormDescription, ReadsEveryKindOfValueInOrder)
{
    const forms::ObjectEntry root = ParseFormDescription(QStringLiteral(
        "OBJECT Form1: TForm1\n"
        "  Left = -12\n"
        "  Caption = 'It''s'#32'a '+\n"
        "    'test'#27284\n"
        "  Color = clBtnFace\n"
        "  Font.Style = [fsBold, fsItalic]\n"
        "  Empty = []\n"
        "  object N1: TMenuItem\n"
        "    Caption = ''\n"
        "  End\n"
        "end\n"));

    EXPECT_EQ(root.name, "Form1");
    EXPECT_EQ(root.className, "TForm1");
    ASSERT_EQ(root.properties.size(), 5u);
    EXPECT_EQ(root.properties[0].name, "Left");
    EXPECT_EQ(root.properties[0].value.kind, Kind::Integer);
    EXPECT_EQ(root.properties[0].value.integer, -12);
    EXPECT_EQ(root.properties[1].value.kind, Kind::String);
    EXPECT_EQ(root.properties[1].value.text, QStringLiteral("It's a test") + QChar(27284));
    EXPECT_EQ(root.properties[2].value.kind, Kind::Identifier);
    EXPECT_EQ(root.properties[2].value.text, "clBtnFace");
    EXPECT_EQ(root.properties[3].name, "Font.Style");
    EXPECT_EQ(root.properties[3].value.members, (QStringList{"fsBold", "fsItalic"}));
    EXPECT_EQ(root.properties[4].line, 7);
    EXPECT_TRUE(root.properties[4].value.members.isEmpty());
    ASSERT_EQ(root.children.size(), 1u);
    EXPECT_EQ(root.children[0].line, 8);
    EXPECT_EQ(root.children[0].properties[0].value.text, "");
}

TEST(FormDescription, TakesTheExtremesOfWholeNumbers)
{
    const auto root = ParseFormDescription(
        QStringLiteral("object A: T\n  Low = -2147483648\n  High = +2147483647\nend"));
    EXPECT_EQ(root.properties[0].value.integer, std::numeric_limits<int>::min());
    EXPECT_EQ(root.properties[1].value.integer, std::numeric_limits<int>::max());
}

struct Malformed {
    const char* what;
    QString text;
    int line;
    const char* message;
};

void PrintTo(const Malformed& c, std::ostream* out)
{
    *out << c.what;
}

class MalformedDescription : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedDescription, FailsNamingTheLineAndTheFault)
{
    const Malformed& c = GetParam();
    ExpectFailureAt([&] { ParseFormDescription(c.text); }, c.line, c.message);
}

QString Nested(int depth)
{
    QString text;
    for (int i = 0; i < depth; ++i)
        text += QStringLiteral("object A%1: T\n").arg(i);
    for (int i = 0; i < depth; ++i)
        text += QStringLiteral("end\n");
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MalformedDescription,
    testing::Values(
        Malformed{"empty", "", 1, "expected 'object'"},
        Malformed{"no colon", "object Form1 TForm1\nend", 1, "expected ':'"},
        Malformed{"other keyword", "inherited Form1: TForm1\nend", 1, "expected 'object'"},
        Malformed{"no end", "object A: T\n  object B: T\n  end\n", 4, "'end' missing for object A"},
        Malformed{"text after end", "object A: T\nend\nextra", 3, "unexpected text"},
        Malformed{"no equals", "object A: T\n  Left 3\nend", 2, "expected '='"},
        Malformed{"open string", "object A: T\n  Caption = 'abc\nend", 2, "not closed"},
        Malformed{"dangling plus", "object A: T\n  Caption = 'a' +\nend", 3, "expected a string"},
        Malformed{"too big", "object A: T\n  Left = 2147483648\nend", 2, "out of range"},
        Malformed{"too small", "object A: T\n  Left = -2147483649\nend", 2, "out of range"},
        Malformed{"huge", "object A: T\n  Left = 99999999999999999999999\nend", 2, "out of range"},
        Malformed{"fraction", "object A: T\n  Left = 1.5\nend", 2, "'.'"},
        Malformed{"letters in number", "object A: T\n  Left = 12px\nend", 2, "after a number"},
        Malformed{"sign alone", "object A: T\n  Left = -\nend", 2, "expected digits"},
        Malformed{"code too big", "object A: T\n  Caption = #65536\nend", 2, "above 65535"},
        Malformed{"set without comma", "object A: T\n  S = [a b]\nend", 2, "expected ','"},
        Malformed{"empty set member", "object A: T\n  S = [a,]\nend", 2, "expected a set member"},
        Malformed{"binary data", "object A: T\n  Data = {0A0B}\nend", 2, "expected a value"},
        Malformed{"control character", QStringLiteral("object A: T\n  Left = \x01\nend"), 2, "U+0001"},
        Malformed{"nested too deep", Nested(40), 33, "nested more than 32 deep"}));

}  // namespace
