#pragma once

#include <QString>

namespace forms {

class TForm;

// Builds a form from the text of its description: creates the components by class name
// (TButton, TMainMenu, TMenuItem, TOpenDialog), sets their stored properties, fills the form's
// published members by component name and binds OnClick events to its methods by name.
//
// Any fault (malformed text, an unknown class, property, value, component or method, a member
// the description leaves unset) throws Exception with the line it concerns. The components
// made before the fault belong to the form and go with it, so no half-built form is used.
void ReadForm(TForm& form, const QString& text);

// ReadForm with the description embedded as the resource named after the form's class in
// capitals (TForm1: ":/TFORM1"); the Exception then names the resource too. Called once the
// form is constructed, when the derived class's members can be found.
void ReadFormResource(TForm& form);

}  // namespace forms
