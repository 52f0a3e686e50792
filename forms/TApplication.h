#pragma once

#include "forms/Exception.h"
#include "forms/FormReader.h"
#include "forms/TForm.h"

#include <QApplication>

#include <memory>
#include <type_traits>
#include <vector>

namespace forms {

// The application: its Qt event loop, its forms and how it shows an exception. Exactly one
// exists at a time, reachable through Application; it owns the forms it creates and tears
// them down, and Qt with them, when it goes. The first form it creates is the main form.
class TApplication {
public:
    // Qt is given only the program's name: the program takes no options.
    explicit TApplication(const char* programName);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // Starts Qt and has HandleException show through ShowException from then on. Where no
    // window can be shown at all, says so on standard error and ends the process with a
    // failure code: there is nobody to show a message to.
    void Initialize();

    // Creates a form of class F from its description, the resource named after F, and stores
    // it in reference. Nothing is stored when the description fails.
    template <typename F>
    void CreateForm(F*& reference)
    {
        static_assert(std::is_base_of_v<TForm, F>, "CreateForm makes forms");
        RequireInitialized();
        auto form = std::make_unique<F>(nullptr);
        ReadFormResource(*form);
        reference = form.get();
        Adopt(std::move(form));
    }

    // Shows the main form and runs the event loop until the main form is closed.
    void Run();

    // Shows the exception's message, the empty one too, in a message box and returns. Needs
    // Initialize; HandleException (Exception.h) is the way to show one at any time.
    void ShowException(const Exception& E);

private:
    void RequireInitialized() const;
    void Adopt(std::unique_ptr<TForm> form);

    QByteArray programName_;
    int argc_ = 1;
    char* argv_[2] = {nullptr, nullptr};
    std::unique_ptr<QApplication> qt_;
    std::vector<std::unique_ptr<TForm>> forms_;  // the main form first
};

// The one application object while it exists; null before and after.
extern TApplication* Application;

}  // namespace forms
