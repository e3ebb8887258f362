// The one shared state record of the program, passed to every thread.
#pragma once
#include "amp/amp_fields.h"
#include "amp/gpio_fields.h"
#include "amp/protection_fields.h"
#include "core/core_fields.h"
#include "core/hooks.h"
#include "core/housekeeping_fields.h"
#include "radio/radio_fields.h"
#include "remote/remote_fields.h"
#include "tuner/tuner_fields.h"
#include "ui/menu_fields.h"
#include "ui/meter_fields.h"
#include "ui/ui_fields.h"

// Each group is owned by one subsystem; fields shared across threads are atomics so readers
// see whole values, and the exchanges that must not interleave keep their own mutexes.
struct Works : HookFields,
               CoreFields,
               HousekeepingFields,
               AmpFields,
               GpioFields,
               ProtectionFields,
               TunerFields,
               RadioFields,
               RemoteFields,
               UiFields,
               MeterFields,
               MenuFields {};  // last: its service jobs finish while the rest still stands

// Start-up defaults of the record.
void InitGlobalVar(Works* works);
