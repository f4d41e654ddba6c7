#pragma once

#include "components/fileroutines.h"
#include "components/networkroutines.h"
#include "components/settingsroutines.h"
#include "components/systemroutines.h"
#include "components/textroutines.h"

// The 32 routines of the utility component in one object, free of widgets. The component
// TBriskRoutines adds its property and the message box on top.
class BriskRoutinesCore : public TextRoutines,
                          public FileRoutines,
                          public SettingsRoutines,
                          public SystemRoutines,
                          public NetworkRoutines
{
};
