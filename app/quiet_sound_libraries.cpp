#include "app/quiet_sound_libraries.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

namespace {

void dropJackMessage(const char *) {}

// alsa-lib's handler is variadic.
void dropAlsaMessage(const char *, int, const char *, int, const char *, ...) {}

} // namespace

void silenceSoundLibraries() {
    jack_set_error_function(dropJackMessage);
    jack_set_info_function(dropJackMessage);
    snd_lib_error_set_handler(dropAlsaMessage);
}
