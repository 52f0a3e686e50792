// Arbitrary text through the form-description parser and, where it parses, through the
// reader onto the real main form: any outcome but a clean form or an Exception is a fault.
#include "forms/Exception.h"
#include "forms/FormReader.h"
#include "shell/Unit1.h"

#include <QApplication>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzzer";
    static char* argv[] = {name, nullptr};
    // Alive until the process ends: tearing Qt down at exit leaks inside its platform plugin,
    // which the leak check would blame on the run.
    static QApplication* application = new QApplication(argc, argv);
    (void)application;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    TForm1 form(nullptr);
    try {
        forms::ReadForm(form, text);
    } catch (const forms::Exception&) {
    }
    return 0;
}
