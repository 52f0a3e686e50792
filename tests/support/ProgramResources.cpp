#include "support/ProgramResources.h"

#include <QtGlobal>

void InitProgramResources()
{
    Q_INIT_RESOURCE(resources);  // outside any namespace, as the macro requires
}
