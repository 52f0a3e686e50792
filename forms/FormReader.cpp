#include "forms/FormReader.h"

#include "forms/DescriptionRules.h"
#include "forms/Exception.h"
#include "forms/FormDescription.h"
#include "forms/TButton.h"
#include "forms/TForm.h"
#include "forms/TMainMenu.h"
#include "forms/TMenuItem.h"
#include "forms/TOpenDialog.h"

#include <QFile>
#include <QFont>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QPalette>

#include <initializer_list>
#include <limits>
#include <map>
#include <utility>

namespace forms {

namespace {

using Kind = PropertyValue::Kind;

QString KindName(Kind kind)
{
    switch (kind) {
    case Kind::Integer: return QStringLiteral("a whole number");
    case Kind::String: return QStringLiteral("a string");
    case Kind::Identifier: return QStringLiteral("a name");
    case Kind::Set: return QStringLiteral("a set");
    }
    return {};
}

const PropertyValue& ValueOf(const PropertyEntry& property, Kind kind)
{
    if (property.value.kind != kind)
        FailAtLine(property.line, QStringLiteral("%1 needs %2, not %3")
                                  .arg(property.name, KindName(kind), KindName(property.value.kind)));
    return property.value;
}

int IntegerOf(const PropertyEntry& property, int minimum = std::numeric_limits<int>::min(),
              int maximum = std::numeric_limits<int>::max())
{
    const int value = ValueOf(property, Kind::Integer).integer;
    if (value < minimum || value > maximum)
        FailAtLine(property.line, QStringLiteral("%1 must be from %2 to %3")
                                  .arg(property.name).arg(minimum).arg(maximum));
    return value;
}

QString StringOf(const PropertyEntry& property)
{
    return ValueOf(property, Kind::String).text;
}

[[noreturn]] void NotAllowed(const PropertyEntry& property, const QString& name)
{
    FailAtLine(property.line, QStringLiteral("%1 can't be %2").arg(property.name, name));
}

// The value of one of the given names.
template <typename T>
T ChoiceOf(const PropertyEntry& property, std::initializer_list<std::pair<const char*, T>> choices)
{
    const QString name = ValueOf(property, Kind::Identifier).text;
    for (const auto& [choice, value] : choices)
        if (SameName(name, choice))
            return value;
    NotAllowed(property, name);
}

// The system colours a description may name, as the roles of the platform's palette.
QColor ColourOf(const PropertyEntry& property, const QPalette& system)
{
    return system.color(ChoiceOf<QPalette::ColorRole>(
        property, {{"clBtnFace", QPalette::Button}, {"clWindowText", QPalette::WindowText}}));
}

// Left, Top, Width and Height into a rectangle; false for any other property. Window systems
// take 16-bit coordinates, and QRect's arithmetic overflows near the ends of int.
bool SetBound(QRect& rect, const PropertyEntry& property)
{
    constexpr int limit = 32767;
    if (SameName(property.name, "Left"))
        rect.moveLeft(IntegerOf(property, -limit, limit));
    else if (SameName(property.name, "Top"))
        rect.moveTop(IntegerOf(property, -limit, limit));
    else if (SameName(property.name, "Width"))
        rect.setWidth(IntegerOf(property, 0, limit));
    else if (SameName(property.name, "Height"))
        rect.setHeight(IntegerOf(property, 0, limit));
    else
        return false;
    return true;
}

// Values only the form designer uses (OldCreateOrder, PixelsPerInch, TextHeight, Font.Charset,
// TabOrder, where a component without a window sat) are checked like any other, then dropped:
// the layout is applied as stored, and focus follows the order the controls are made in.
class FormBuilder {
public:
    explicit FormBuilder(TForm& form)
        : form_(form)
    {
    }

    void Build(const ObjectEntry& root)
    {
        const QString formClass = QString::fromLatin1(form_.metaObject()->className());
        if (root.className != formClass)
            FailAtLine(root.line, QStringLiteral("the description is of %1, not %2")
                                  .arg(root.className, formClass));
        form_.setObjectName(root.name);
        SetFormProperties(root);
        for (const ObjectEntry& child : root.children)
            AddFormChild(child);
        ResolveMenu();
        CheckEveryMemberSet(root);
    }

private:
    void UnknownProperty(const ObjectEntry& object, const PropertyEntry& property)
    {
        FailAtLine(property.line, QStringLiteral("%1 (%2) has no property %3")
                                  .arg(object.name, object.className, property.name));
    }

    void SetFormProperties(const ObjectEntry& root)
    {
        QRect outer(0, 0, 0, 0);
        QPalette palette = form_.palette();
        QWidget& client = *form_.ClientArea();
        QFont font = client.font();
        QPalette clientPalette = client.palette();
        const QPalette system = form_.palette();

        for (const PropertyEntry& property : root.properties) {
            const QString& name = property.name;
            if (SameName(name, "Caption")) {
                form_.setWindowTitle(StringOf(property));
            } else if (SameName(name, "Color")) {
                palette.setColor(QPalette::Window, ColourOf(property, system));
            } else if (SameName(name, "Font.Charset")) {
                // Designer-only; text is Unicode here, so only the locale's character set fits.
                const QString charset = ValueOf(property, Kind::Identifier).text;
                if (!SameName(charset, "DEFAULT_CHARSET"))
                    NotAllowed(property, charset);
            } else if (SameName(name, "Font.Color")) {
                clientPalette.setColor(QPalette::WindowText, ColourOf(property, system));
            } else if (SameName(name, "Font.Height")) {
                // Negative: the characters' height in pixels, which is what a pixel size is.
                const int height = IntegerOf(property);
                if (height >= 0)
                    FailAtLine(property.line, QStringLiteral("Font.Height must be negative"));
                font.setPixelSize(-height);
            } else if (SameName(name, "Font.Name")) {
                // Where the font isn't installed, font matching picks the nearest one.
                font.setFamily(StringOf(property));
                font.setStyleHint(QFont::SansSerif);
            } else if (SameName(name, "Font.Style")) {
                SetFontStyle(font, property);
            } else if (SameName(name, "Menu")) {
                menuName_ = ValueOf(property, Kind::Identifier).text;
                menuLine_ = property.line;
            } else if (SameName(name, "OldCreateOrder")) {
                ChoiceOf<bool>(property, {{"False", false}, {"True", true}});  // designer-only
            } else if (SameName(name, "PixelsPerInch") || SameName(name, "TextHeight")) {
                IntegerOf(property, 1);  // designer-only
            } else if (!SetBound(outer, property)) {
                UnknownProperty(root, property);
            }
        }
        form_.setPalette(palette);
        form_.setAutoFillBackground(true);
        // The menu keeps the system's font, as menus do; the controls take the form's.
        client.setFont(font);
        client.setPalette(clientPalette);
        form_.SetOuterGeometry(outer);
    }

    static void SetFontStyle(QFont& font, const PropertyEntry& property)
    {
        font.setBold(false);
        font.setItalic(false);
        font.setUnderline(false);
        font.setStrikeOut(false);
        for (const QString& style : ValueOf(property, Kind::Set).members) {
            if (SameName(style, "fsBold"))
                font.setBold(true);
            else if (SameName(style, "fsItalic"))
                font.setItalic(true);
            else if (SameName(style, "fsUnderline"))
                font.setUnderline(true);
            else if (SameName(style, "fsStrikeOut"))
                font.setStrikeOut(true);
            else
                FailAtLine(property.line, QStringLiteral("Font.Style has no member %1").arg(style));
        }
    }

    void AddFormChild(const ObjectEntry& object)
    {
        if (SameName(object.className, "TButton")) {
            auto* button = new TButton(form_.ClientArea());
            Publish(object, button);
            SetButtonProperties(*button, object);
        } else if (SameName(object.className, "TMainMenu")) {
            auto* menu = new TMainMenu(&form_);
            Publish(object, menu);
            CheckDesignPosition(object);
            for (const ObjectEntry& child : object.children)
                menu->Add(AddMenuItem(child, menu));
            return;
        } else if (SameName(object.className, "TOpenDialog")) {
            auto* dialog = new TOpenDialog(&form_);
            Publish(object, dialog);
            CheckDesignPosition(object);
        } else if (SameName(object.className, "TMenuItem")) {
            FailAtLine(object.line, QStringLiteral("menu item %1 is not inside a menu").arg(object.name));
        } else {
            FailAtLine(object.line, QStringLiteral("unknown class %1 of %2").arg(object.className, object.name));
        }
        NoChildren(object);
    }

    TMenuItem* AddMenuItem(const ObjectEntry& object, QObject* owner)
    {
        if (!SameName(object.className, "TMenuItem"))
            FailAtLine(object.line, QStringLiteral("%1 (%2) can't be in a menu, only TMenuItem can")
                                    .arg(object.name, object.className));
        auto* item = new TMenuItem(owner);
        Publish(object, item);
        for (const PropertyEntry& property : object.properties) {
            if (SameName(property.name, "Caption"))
                item->setText(StringOf(property));
            else if (SameName(property.name, "OnClick"))
                item->OnClick = Handler(property);
            else
                UnknownProperty(object, property);
        }
        for (const ObjectEntry& child : object.children)
            item->Add(AddMenuItem(child, item));
        return item;
    }

    void SetButtonProperties(TButton& button, const ObjectEntry& object)
    {
        QRect bounds = button.geometry();
        for (const PropertyEntry& property : object.properties) {
            if (SameName(property.name, "Caption"))
                button.setText(StringOf(property));
            else if (SameName(property.name, "TabOrder"))
                IntegerOf(property, 0);  // designer-only
            else if (!SetBound(bounds, property))
                UnknownProperty(object, property);
        }
        button.setGeometry(bounds);
    }

    // Where a component without a window sat in the designer: Left and Top only; designer-only.
    void CheckDesignPosition(const ObjectEntry& object)
    {
        QRect place;
        for (const PropertyEntry& property : object.properties)
            if (SameName(property.name, "Width") || SameName(property.name, "Height")
                || !SetBound(place, property))
                UnknownProperty(object, property);
    }

    static void NoChildren(const ObjectEntry& object)
    {
        if (!object.children.empty())
            FailAtLine(object.children.front().line,
                       QStringLiteral("%1 (%2) can't hold other components").arg(object.name, object.className));
    }

    // The component fills the form's published member of the same name.
    void Publish(const ObjectEntry& object, QObject* component)
    {
        component->setObjectName(object.name);
        if (!components_.emplace(object.name, component).second)
            FailAtLine(object.line, QStringLiteral("a second component named %1").arg(object.name));
        const QMetaObject* type = form_.metaObject();
        const int index = type->indexOfProperty(object.name.toUtf8().constData());
        if (index < TForm::staticMetaObject.propertyCount())
            FailAtLine(object.line, QStringLiteral("%1 has no member %2").arg(type->className(), object.name));
        const QMetaProperty member = type->property(index);
        if (!member.write(&form_, QVariant::fromValue(component)))
            FailAtLine(object.line, QStringLiteral("%1 is not a %2")
                                    .arg(object.className, QString::fromLatin1(member.typeName())));
    }

    // An event bound to the form's method of that name, which takes the sender.
    TNotifyEvent Handler(const PropertyEntry& property)
    {
        const QString name = ValueOf(property, Kind::Identifier).text;
        const QMetaObject* type = form_.metaObject();
        for (int i = TForm::staticMetaObject.methodCount(); i < type->methodCount(); ++i) {
            const QMetaMethod method = type->method(i);
            if (QString::fromLatin1(method.name()) != name || method.parameterCount() != 1
                || method.returnType() != QMetaType::Void)
                continue;
            TForm* form = &form_;
            const QByteArray parameterType = method.parameterTypes().constFirst();
            return [form, method, parameterType](TObject* sender) {
                method.invoke(form, Qt::DirectConnection,
                              QGenericArgument(parameterType.constData(), &sender));
            };
        }
        FailAtLine(property.line, QStringLiteral("%1 has no event handler %2").arg(type->className(), name));
    }

    void ResolveMenu()
    {
        if (menuName_.isEmpty())
            return;
        const auto named = components_.find(menuName_);
        auto* menu = qobject_cast<TMainMenu*>(named != components_.end() ? named->second : nullptr);
        if (!menu)
            FailAtLine(menuLine_, QStringLiteral("Menu names %1, which is no TMainMenu of this form").arg(menuName_));
        form_.SetMenu(menu);
    }

    void CheckEveryMemberSet(const ObjectEntry& root)
    {
        const QMetaObject* type = form_.metaObject();
        for (int i = TForm::staticMetaObject.propertyCount(); i < type->propertyCount(); ++i) {
            const QMetaProperty member = type->property(i);
            if (!components_.count(QString::fromLatin1(member.name())))
                FailAtLine(root.line, QStringLiteral("the description has no component for %1.%2")
                                      .arg(type->className(), member.name()));
        }
    }

    TForm& form_;
    std::map<QString, QObject*> components_;  // by name, as published
    QString menuName_;
    int menuLine_ = 0;
};

}  // namespace

void ReadForm(TForm& form, const QString& text)
{
    FormBuilder(form).Build(ParseFormDescription(text));
}

void ReadFormResource(TForm& form)
{
    const QString resource = QString::fromLatin1(form.metaObject()->className()).toUpper();
    QFile file(QStringLiteral(":/") + resource);
    if (!file.open(QIODevice::ReadOnly))
        throw Exception(QStringLiteral("The form description %1 is missing.").arg(resource));
    try {
        ReadForm(form, QString::fromUtf8(file.readAll()));
    } catch (const Exception& error) {
        throw Exception(QStringLiteral("Form description %1, %2").arg(resource, error.Message));
    }
}

}  // namespace forms
