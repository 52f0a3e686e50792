#pragma once

#include <QObject>

#include <functional>

namespace forms {

// Every component is a QObject; an event handler receives the one that sent the event.
using TObject = QObject;
using TNotifyEvent = std::function<void(TObject* Sender)>;

}  // namespace forms
