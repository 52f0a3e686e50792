#pragma once

// Makes the program's embedded resources (the main form's description, the icon) available,
// as the program's main() does: a static library's resources are otherwise left out.
void InitProgramResources();
