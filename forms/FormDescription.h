#pragma once

#include <QString>
#include <QStringList>

#include <vector>

namespace forms {

// One stored value of a form description.
struct PropertyValue {
    enum class Kind { Integer, String, Identifier, Set };

    Kind kind = Kind::Integer;
    int integer = 0;
    QString text;         // a string's characters, or an identifier
    QStringList members;  // a set's identifiers
};

struct PropertyEntry {
    QString name;  // dotted for nested properties: "Font.Height"
    PropertyValue value;
    int line = 0;
};

struct ObjectEntry {
    QString name;
    QString className;
    int line = 0;
    std::vector<PropertyEntry> properties;
    std::vector<ObjectEntry> children;
};

// Parses the text form of a form description:
//
//   object Form1: TForm1
//     Caption = 'Form1'
//     Font.Style = [fsBold]
//     object N1: TMenuItem
//       Caption = #27284#26696
//     end
//   end
//
// Values are whole numbers, strings ('quoted', with '' for a quote, joined with #code
// characters and '+'), identifiers and sets of identifiers. Throws Exception naming the line
// of the first fault; nothing after the closing "end" but blank space is allowed.
ObjectEntry ParseFormDescription(const QString& text);

}  // namespace forms
