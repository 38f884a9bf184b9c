#include "ui/synth_record.h"

SynthState synthState;
