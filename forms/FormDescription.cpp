#include "forms/FormDescription.h"

#include "forms/DescriptionRules.h"

#include <limits>

namespace forms {

namespace {

// Deeper nesting than any real form has; it bounds the parser's recursion on hostile text.
constexpr int maxDepth = 32;

class Parser {
public:
    explicit Parser(const QString& text)
        : text_(text)
    {
    }

    ObjectEntry Document()
    {
        SkipBlank();
        const int line = line_;
        const QString keyword = Identifier(QStringLiteral("'object'"));
        if (!SameName(keyword, "object"))
            Fail(QStringLiteral("expected 'object', found '%1'").arg(keyword));
        ObjectEntry root = Object(line, 0);
        SkipBlank();
        if (!AtEnd())
            Fail(QStringLiteral("unexpected text after the final 'end'"));
        return root;
    }

private:
    [[noreturn]] void Fail(const QString& what) const
    {
        FailAtLine(line_, what);
    }

    bool AtEnd() const { return pos_ >= text_.size(); }
    QChar Peek() const { return AtEnd() ? QChar() : text_.at(pos_); }

    static bool IsIdentifierStart(QChar c) { return c.isLetter() || c == QLatin1Char('_'); }
    static bool IsIdentifierPart(QChar c) { return c.isLetterOrNumber() || c == QLatin1Char('_'); }
    static bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

    void SkipBlank()
    {
        while (!AtEnd() && Peek().isSpace()) {
            if (Peek() == QLatin1Char('\n'))
                ++line_;
            ++pos_;
        }
    }

    QString Describe(QChar c) const
    {
        if (c.isNull())
            return QStringLiteral("the end of the text");
        if (c.isPrint())
            return QStringLiteral("'%1'").arg(c);
        return QStringLiteral("character U+%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }

    void Expect(QChar c, const QString& context)
    {
        SkipBlank();
        if (Peek() != c)
            Fail(QStringLiteral("expected '%1' %2, found %3").arg(c, context, Describe(Peek())));
        ++pos_;
    }

    QString Identifier(const QString& what)
    {
        SkipBlank();
        if (!IsIdentifierStart(Peek()))
            Fail(QStringLiteral("expected %1, found %2").arg(what, Describe(Peek())));
        const int start = pos_;
        while (!AtEnd() && IsIdentifierPart(Peek()))
            ++pos_;
        return text_.mid(start, pos_ - start);
    }

    // The rest of an object whose keyword "object", on the given line, has just been read.
    ObjectEntry Object(int line, int depth)
    {
        if (depth >= maxDepth)
            FailAtLine(line, QStringLiteral("objects nested more than %1 deep").arg(maxDepth));
        ObjectEntry entry;
        entry.line = line;
        entry.name = Identifier(QStringLiteral("the object's name"));
        Expect(QLatin1Char(':'), QStringLiteral("after the object's name"));
        entry.className = Identifier(QStringLiteral("the object's class"));

        for (;;) {
            SkipBlank();
            if (AtEnd())
                Fail(QStringLiteral("'end' missing for object %1 of line %2")
                         .arg(entry.name)
                         .arg(entry.line));
            const int wordLine = line_;
            const QString word = Identifier(QStringLiteral("a property, 'object' or 'end'"));
            if (SameName(word, "end"))
                return entry;
            if (SameName(word, "object"))
                entry.children.push_back(Object(wordLine, depth + 1));
            else
                entry.properties.push_back(Property(word));
        }
    }

    PropertyEntry Property(const QString& firstName)
    {
        PropertyEntry entry;
        entry.line = line_;
        entry.name = firstName;
        while (Peek() == QLatin1Char('.')) {
            ++pos_;
            entry.name += QLatin1Char('.') + Identifier(QStringLiteral("a property name after '.'"));
        }
        Expect(QLatin1Char('='), QStringLiteral("after property %1").arg(entry.name));
        entry.value = Value(entry.name);
        return entry;
    }

    PropertyValue Value(const QString& property)
    {
        SkipBlank();
        const QChar c = Peek();
        PropertyValue value;
        if (c == QLatin1Char('-') || c == QLatin1Char('+') || IsDigit(c)) {
            value.kind = PropertyValue::Kind::Integer;
            value.integer = Integer();
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('#')) {
            value.kind = PropertyValue::Kind::String;
            value.text = String();
        } else if (c == QLatin1Char('[')) {
            value.kind = PropertyValue::Kind::Set;
            value.members = Set();
        } else if (IsIdentifierStart(c)) {
            value.kind = PropertyValue::Kind::Identifier;
            value.text = Identifier(QStringLiteral("a value"));
        } else {
            Fail(QStringLiteral("expected a value for %1, found %2").arg(property, Describe(c)));
        }
        return value;
    }

    // Digits as a non-negative number; false past the given limit.
    bool Digits(qint64 limit, qint64& number)
    {
        if (!IsDigit(Peek()))
            Fail(QStringLiteral("expected digits, found %1").arg(Describe(Peek())));
        number = 0;
        bool inRange = true;
        while (IsDigit(Peek())) {
            number = number * 10 + (Peek().unicode() - '0');
            if (number > limit) {
                inRange = false;
                number = limit;  // keeps the arithmetic bounded while the digits are skipped
            }
            ++pos_;
        }
        return inRange;
    }

    int Integer()
    {
        const bool negative = Peek() == QLatin1Char('-');
        if (negative || Peek() == QLatin1Char('+'))
            ++pos_;
        qint64 number = 0;
        const qint64 limit = negative ? -qint64(std::numeric_limits<int>::min())
                                      : qint64(std::numeric_limits<int>::max());
        if (!Digits(limit, number))
            Fail(QStringLiteral("number out of range"));
        if (IsIdentifierPart(Peek()))
            Fail(QStringLiteral("unexpected %1 after a number").arg(Describe(Peek())));
        return int(negative ? -number : number);
    }

    // 'quoted' and #code parts written next to each other, and such runs joined by '+'.
    QString String()
    {
        QString result;
        for (;;) {
            SkipBlank();
            int parts = 0;
            while (StringPart(result))
                ++parts;
            if (parts == 0)
                Fail(QStringLiteral("expected a string, found %1").arg(Describe(Peek())));
            SkipBlank();
            if (Peek() != QLatin1Char('+'))
                return result;
            ++pos_;
        }
    }

    bool StringPart(QString& result)
    {
        if (Peek() == QLatin1Char('#')) {
            ++pos_;
            qint64 code = 0;
            if (!Digits(0xFFFF, code))
                Fail(QStringLiteral("character code above 65535"));
            result += QChar(char16_t(code));
            return true;
        }
        if (Peek() != QLatin1Char('\''))
            return false;
        ++pos_;
        for (;;) {
            if (AtEnd() || Peek() == QLatin1Char('\n') || Peek() == QLatin1Char('\r'))
                Fail(QStringLiteral("string not closed on its line"));
            const QChar c = text_.at(pos_++);
            if (c != QLatin1Char('\'')) {
                result += c;
            } else if (Peek() == QLatin1Char('\'')) {
                result += c;
                ++pos_;
            } else {
                return true;
            }
        }
    }

    QStringList Set()
    {
        ++pos_;  // '['
        QStringList members;
        SkipBlank();
        if (Peek() == QLatin1Char(']')) {
            ++pos_;
            return members;
        }
        for (;;) {
            members << Identifier(QStringLiteral("a set member"));
            SkipBlank();
            if (Peek() == QLatin1Char(']')) {
                ++pos_;
                return members;
            }
            Expect(QLatin1Char(','), QStringLiteral("between set members"));
        }
    }

    const QString& text_;
    int pos_ = 0;
    int line_ = 1;
};

}  // namespace

ObjectEntry ParseFormDescription(const QString& text)
{
    return Parser(text).Document();
}

}  // namespace forms
